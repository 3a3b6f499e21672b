#!/usr/bin/python3
# The release tools' reader: what comes from outside (a release folder's
# records, a kit's components, a signed exe) is parsed here, with parsers made
# for each structure, and judged from what it holds, never from another tool's
# printed report. The shell scripts run the build, the root, Wine and the
# steps in order, and ask this program for verdicts. Run with Debian's
# /usr/bin/python3 and its python3-asn1crypto, python3-cryptography and
# python3-pefile (scripts/setup installs them).
#
#   release_reader.py authenticode FILE [--roots PEM] [--tsa-roots PEM] [PUBLISHERS]
#       FILE's primary Authenticode signature, which alone decides; nested ones are listed
#       and never count. Exit 0 it verifies, 1 it does not, 2 FILE is unreadable, 3 unsigned.
#   release_reader.py cms P7S CONTENT [--roots PEM] [PUBLISHERS]
#       a detached CMS signature (SHA256SUMS.p7s) over CONTENT's exact bytes. Exit 0, 1 or 2.
#   release_reader.py publishers FILE
#       the publishers list, checked line by line. Exit 0 or 2.
#   release_reader.py record FILE --kind BUILDINFO|pin [--name NAME] [--package P]... [--component C]...
#       a BUILDINFO or the toolchain's pin: known fields, each once, each value in its own
#       syntax (Debian's for the suite, package names and versions), exactly the packages P as
#       its toolchain. Exit 0, or 2 with "NAME line N: the fault".
#   release_reader.py sums FILE [--name NAME]...
#       a SHA256SUMS in sha256sum's own format, listing only NAMEs, each at most once. Exit 0 or 2.
#   release_reader.py checksums FOLDER [--required NAME]...
#       each file FOLDER's SHA256SUMS lists is there with that SHA-256, and each NAME is listed.
#       Exit 0, or 1 with one line per fault.
#   release_reader.py zip ZIP FOLDER [--entry NAME]...
#       ZIP holds exactly the NAMEs, in order, each FOLDER's file byte for byte. Exit 0 or 1.
#   PUBLISHERS: [--publishers FILE] [--publisher FINGERPRINT]...: who the publisher is.
#
# Facts go to standard output, one a line, in this program's own words:
#   signer FINGERPRINT SUBJECT      the certificate the SignerInfo names by issuer and serial
#   publisher NAME | publisher none whom the publishers list (or --publisher) says it is
#   timestamp TIME | timestamp none the TSA's certified time, read from its token (genTime)
#   nested FINGERPRINT SUBJECT      a nested signature: listed, never counted
#   fault KIND REASON               why it does not verify (KIND: digest, signature, chain,
#                                   timestamp); one line per fault
# An unreadable input is one line on standard error, "FILE: what is wrong".
import datetime
import hashlib
import os
import re
import struct
import sys

try:
    from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp registers TSTInfo)
    from asn1crypto import x509 as asn1_x509  # noqa: F401 (the tests read certificates with it)
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
    import pefile
except ImportError as missing:
    # A missing part is "cannot read" (2), never a verdict.
    print("release_reader.py: missing Debian package python3-%s (scripts/setup installs it)" % missing.name.split(".")[0],
          file=sys.stderr)
    sys.exit(2)

SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
# The signed files are small; anything larger is not one of a release's.
FILE_LIMIT = 64 * 1024 * 1024
HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
SHORT_NAMES = {
    "country_name": "C", "state_or_province_name": "ST", "locality_name": "L",
    "organization_name": "O", "organizational_unit_name": "OU", "common_name": "CN",
    "email_address": "emailAddress", "serial_number": "serialNumber",
    "domain_component": "DC", "user_id": "UID",
}


class Unreadable(Exception):
    """The input is not what it claims to be: exit status 2."""


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


def shown(text):
    """Text from a certificate or a file, as a message may show it."""
    return re.sub(r"[^\x20-\x7e]", "?", str(text))[:500]


def subject_of(certificate):
    """A certificate's subject as /C=../O=../CN=.."""
    parts = []
    for rdn in certificate.subject.chosen:
        for pair in rdn:
            kind = pair["type"].native
            parts.append("/%s=%s" % (SHORT_NAMES.get(kind, pair["type"].dotted), pair["value"].native))
    return shown("".join(parts))


def fingerprint_of(certificate):
    digest = hashlib.sha256(certificate.dump()).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, 64, 2))


def bare_fingerprint(text):
    return re.sub(r"[:\s]", "", text).upper()


def utc(moment):
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)


def time_text(moment):
    """As OpenSSL prints a time, the way release notes and logs show it."""
    moment = moment.astimezone(datetime.timezone.utc)
    return "%s %2d %s %d GMT" % (moment.strftime("%b"), moment.day, moment.strftime("%H:%M:%S"), moment.year)


def read_limited(path, limit=FILE_LIMIT):
    try:
        with open(path, "rb") as handle:
            data = handle.read(limit + 1)
    except OSError as error:
        raise Unreadable("%s: cannot be read (%s)" % (shown(path), error.strerror))
    if len(data) > limit:
        raise Unreadable("%s: larger than %d bytes" % (shown(path), limit))
    return data


# ------------------------------------------------------------- certificates
def pem_certificates(path):
    """Each certificate of a PEM file; one that does not parse is left out, as OpenSSL leaves it."""
    found = []
    text = read_limited(path).decode("ascii", "replace")
    for block in re.findall(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----", text, re.S):
        try:
            found.append(x509.load_pem_x509_certificate(block.encode("ascii")))
        except ValueError:
            continue
    return found


def crypto_certificate(certificate):
    try:
        return x509.load_der_x509_certificate(certificate.dump())
    except ValueError:
        raise Unreadable("a certificate in the signature does not parse")


def verify_with_key(public_key, signature, data, hash_name, algorithm="rsassa_pkcs1v15"):
    """True when SIGNATURE over DATA verifies with PUBLIC_KEY."""
    if hash_name not in HASHES:
        return False
    try:
        if isinstance(public_key, rsa.RSAPublicKey) and algorithm == "rsassa_pkcs1v15":
            public_key.verify(signature, data, padding.PKCS1v15(), HASHES[hash_name]())
        elif isinstance(public_key, ec.EllipticCurvePublicKey) and algorithm == "ecdsa":
            public_key.verify(signature, data, ec.ECDSA(HASHES[hash_name]()))
        else:
            return False
    except (InvalidSignature, ValueError):
        return False
    return True


def issued_by(certificate, issuer):
    """True when ISSUER's key made CERTIFICATE's signature."""
    if certificate.issuer.public_bytes() != issuer.subject.public_bytes():
        return False
    hash_algorithm = certificate.signature_hash_algorithm
    if hash_algorithm is None or hash_algorithm.name not in HASHES:
        return False
    key = issuer.public_key()
    algorithm = "ecdsa" if isinstance(key, ec.EllipticCurvePublicKey) else "rsassa_pkcs1v15"
    if certificate.signature_algorithm_oid == x509.SignatureAlgorithmOID.RSASSA_PSS:
        return False
    return verify_with_key(key, certificate.signature, certificate.tbs_certificate_bytes, hash_algorithm.name, algorithm)


def extension(certificate, kind):
    try:
        return certificate.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


def valid_at(certificate, moment):
    before = getattr(certificate, "not_valid_before_utc", None) or utc(certificate.not_valid_before)
    after = getattr(certificate, "not_valid_after_utc", None) or utc(certificate.not_valid_after)
    if moment < before:
        return "certificate is not yet valid"
    if moment > after:
        return "certificate has expired"
    return None


def chain_fault(leaf, pool, roots, moment, purpose=None):
    """Why LEAF does not chain up to one of ROOTS at MOMENT through POOL (None when it does),
    in the words OpenSSL's verification uses, which the documents quote."""
    trusted = {root.public_bytes(serialization.Encoding.DER) for root in roots}
    if purpose is not None:
        usages = extension(leaf, x509.ExtendedKeyUsage)
        if usages is not None and purpose not in usages and x509.ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE not in usages:
            return "unsupported certificate purpose"
    current = leaf
    for depth in range(10):
        fault = valid_at(current, moment)
        if fault:
            return fault
        # A trusted certificate ends the chain where it is its own issuer, a root, as OpenSSL
        # and Windows take a trust anchor: a leaf given beside its key proves nothing by itself.
        if issued_by(current, current):
            if current.public_bytes(serialization.Encoding.DER) in trusted:
                return None
            return "self-signed certificate" if depth == 0 else "self-signed certificate in certificate chain"
        issuers = [c for c in roots + pool if c is not current and issued_by(current, c)]
        if not issuers:
            return "unable to get local issuer certificate"
        # A CA among them, a trusted one first: a certificate may be carried twice, or cross-signed.
        authorities = [c for c in issuers if (extension(c, x509.BasicConstraints) or x509.BasicConstraints(False, None)).ca]
        if not authorities:
            return "invalid CA certificate"
        current = authorities[0]
    return "certificate chain too long"


# ------------------------------------------------------------ signed data
def signed_data_of(der, what):
    try:
        info = cms.ContentInfo.load(der, strict=False)
        if info["content_type"].native != "signed_data":
            raise Unreadable("%s: not a signature (SignedData)" % what)
        signed = info["content"]
        signed["signer_infos"]  # the parts read later fail there, as Unreadable too (main)
        return signed
    except (ValueError, TypeError, KeyError) as error:
        raise Unreadable("%s: not a signature that parses (%s)" % (what, shown(error)))


def the_signer_info(signed, what):
    infos = signed["signer_infos"]
    if len(infos) != 1:
        raise Unreadable("%s: holds %d signers; a signature has one" % (what, len(infos)))
    return infos[0]


def signer_certificate(signed, signer_info, what):
    """The one certificate the SignerInfo names by issuer and serial number (or by key id)."""
    sid = signer_info["sid"]
    matches = []
    for choice in signed["certificates"] or []:
        if choice.name != "certificate":
            continue
        certificate = choice.chosen
        if sid.name == "issuer_and_serial_number":
            named = sid.chosen
            if certificate.serial_number == named["serial_number"].native and certificate.issuer == named["issuer"]:
                matches.append(certificate)
        elif certificate.key_identifier == sid.chosen.native:
            matches.append(certificate)
    if not matches:
        raise Unreadable("%s: does not hold the certificate that made it" % what)
    if len(matches) > 1:
        raise Unreadable("%s: names its signer ambiguously: %d of its certificates have the signer's issuer and serial" % (what, len(matches)))
    return matches[0]


def attribute(attributes, name):
    values = [a["values"] for a in attributes or [] if a["type"].native == name or a["type"].dotted == name]
    if len(values) > 1 or (values and len(values[0]) != 1):
        raise Unreadable("attribute %s is given more than once" % name)
    return values[0][0] if values else None


def signer_info_fault(signer_info, certificate, content):
    """Why SIGNER_INFO's signature over CONTENT does not verify with CERTIFICATE's key (None when it does)."""
    hash_name = signer_info["digest_algorithm"]["algorithm"].native
    if hash_name not in HASHES:
        return "its digest algorithm %s is not one this reader accepts (SHA-256, SHA-384, SHA-512)" % shown(hash_name)
    algorithm = signer_info["signature_algorithm"].signature_algo
    signed_attributes = signer_info["signed_attrs"]
    if signed_attributes:
        digest = attribute(signed_attributes, "message_digest")
        if digest is None or digest.native != hashlib.new(hash_name, content).digest():
            return "the file's digest is not the one signed"
        # Signed as a SET, though stored under an implicit [0] tag.
        data = b"\x31" + signed_attributes.dump()[1:]
    else:
        data = content
    key = crypto_certificate(certificate).public_key()
    if not verify_with_key(key, signer_info["signature"].native, data, hash_name, algorithm):
        return "the signature was not made by its signer's key"
    return None


# ------------------------------------------------------------ Authenticode
def pe_signatures(data, what):
    """The Authenticode digest of a PE file's bytes and its certificate table's entries."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise Unreadable("%s: not a PE file (%s)" % (what, shown(error)))
    if len(pe.OPTIONAL_HEADER.DATA_DIRECTORY) <= 4:
        return None, []
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
    checksum_at = pe.OPTIONAL_HEADER.get_file_offset() + 64
    directory_at = directory.get_file_offset()
    table_at, table_size = directory.VirtualAddress, directory.Size
    if table_size == 0 and table_at == 0:
        return None, []
    if table_at < directory_at + 8 or table_at + table_size != len(data):
        raise Unreadable("%s: its signature is not where a signature lies: at the file's end, after its headers" % what)
    # Everything but the checksum, the certificate table's directory entry and the table itself.
    signed_bytes = data[:checksum_at] + data[checksum_at + 4:directory_at] + data[directory_at + 8:table_at]
    entries, at = [], table_at
    while at < len(data):
        if at + 8 > len(data):
            raise Unreadable("%s: its certificate table is cut short" % what)
        length, revision, kind = struct.unpack_from("<IHH", data, at)
        if length < 8 or at + length > len(data):
            raise Unreadable("%s: an entry of its certificate table runs past the file's end" % what)
        if revision != 0x0200 or kind != 2:
            raise Unreadable("%s: its certificate table holds an entry that is not a PKCS#7 signature" % what)
        entries.append(data[at + 8:at + length])
        at += (length + 7) // 8 * 8
    return signed_bytes, entries


def timestamp_of(signer_info, signed, tsa_roots, facts):
    """The certified time of SIGNER_INFO's timestamp (None for none), read from the token's
    TSTInfo (RFC 3161) or from a countersignature's signing time; a fault is a fact."""
    token = attribute(signer_info["unsigned_attrs"], RFC3161_TIMESTAMP)
    countersignature = attribute(signer_info["unsigned_attrs"], "counter_signature")
    if token is None and countersignature is None:
        return None
    signature_bytes = signer_info["signature"].native
    if token is not None:
        tsa_signed = signed_data_of(token.dump(), "the timestamp")
        tsa_info = the_signer_info(tsa_signed, "the timestamp")
        encapsulated = tsa_signed["encap_content_info"]
        if encapsulated["content_type"].native != "tst_info":
            raise Unreadable("the timestamp: does not hold a TSTInfo")
        tst_bytes = encapsulated["content"].contents
        tst = encapsulated["content"].parsed
        certificate = signer_certificate(tsa_signed, tsa_info, "the timestamp")
        pool = tsa_signed["certificates"]
        imprint = tst["message_imprint"]
        imprinted = imprint["hash_algorithm"]["algorithm"].native
        moment = utc(tst["gen_time"].native)
        if imprinted not in HASHES or imprint["hashed_message"].native != hashlib.new(imprinted, signature_bytes).digest():
            facts.append(("fault", "timestamp", "the timestamp is not over this signature"))
            return moment
        content = tst_bytes
        purpose = x509.ExtendedKeyUsageOID.TIME_STAMPING
    else:
        tsa_info, certificate, pool = countersignature, None, signed["certificates"]
        # A countersignature names its certificate among the signature's own.
        certificate = signer_certificate(signed, tsa_info, "the countersignature")
        at = attribute(tsa_info["signed_attrs"], "signing_time")
        if at is None:
            raise Unreadable("the countersignature: holds no signing time")
        moment = utc(at.native)
        content = signature_bytes
        purpose = x509.ExtendedKeyUsageOID.TIME_STAMPING
    fault = signer_info_fault(tsa_info, certificate, content)
    if fault:
        facts.append(("fault", "timestamp", fault))
        return moment
    pool = [crypto_certificate(c.chosen) for c in pool or [] if c.name == "certificate"]
    fault = chain_fault(crypto_certificate(certificate), pool, tsa_roots, moment, purpose)
    if fault:
        facts.append(("fault", "timestamp", fault))
    return moment


def nested_signers(signer_info, facts, depth=0):
    for value in [a["values"] for a in signer_info["unsigned_attrs"] or [] if a["type"].dotted == NESTED_SIGNATURE]:
        for nested in value:
            try:
                signed = signed_data_of(nested.dump(), "a nested signature")
                inner = the_signer_info(signed, "a nested signature")
                certificate = signer_certificate(signed, inner, "a nested signature")
                facts.append(("nested", fingerprint_of(certificate), subject_of(certificate)))
                if depth < 4:
                    nested_signers(inner, facts, depth + 1)
            except (Unreadable, ValueError, TypeError, KeyError) as error:
                facts.append(("nested", "unreadable", shown(error)))


def judge_authenticode(data, roots, tsa_roots, what, now=None):
    """The facts of DATA's primary signature, and its verdict: "verified", "not verified" or "unsigned"."""
    signed_bytes, entries = pe_signatures(data, what)
    if not entries:
        return "unsigned", [("signature", "none")]
    facts = []
    signed = signed_data_of(entries[0], what)
    for extra in entries[1:]:
        # Only the first entry is the file's signature, as Windows reads it.
        try:
            other = signed_data_of(extra, what)
            certificate = signer_certificate(other, the_signer_info(other, what), what)
            facts.append(("nested", fingerprint_of(certificate), subject_of(certificate)))
        except (Unreadable, ValueError, TypeError, KeyError) as error:
            facts.append(("nested", "unreadable", shown(error)))
    signer_info = the_signer_info(signed, what)
    certificate = signer_certificate(signed, signer_info, what)
    facts.append(("signer", fingerprint_of(certificate), subject_of(certificate)))
    encapsulated = signed["encap_content_info"]
    if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Unreadable("%s: its signature is not over a file's digest (SpcIndirectDataContent)" % what)
    try:
        indirect = encapsulated["content"].parse(SpcIndirectDataContent)
        digest_name = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
    except (ValueError, TypeError) as error:
        raise Unreadable("%s: its signed digest does not parse (%s)" % (what, shown(error)))
    if digest_name not in HASHES:
        facts.append(("fault", "digest", "the file's digest is %s, not one this reader accepts" % shown(digest_name)))
    elif indirect["message_digest"]["digest"].native != hashlib.new(digest_name, signed_bytes).digest():
        facts.append(("fault", "digest", "the file's digest is not the one signed"))
    # The SignerInfo signs SpcIndirectDataContent's contents, without its own tag and length.
    fault = signer_info_fault(signer_info, certificate, indirect.contents)
    if fault:
        facts.append(("fault", "signature", fault))
    moment = timestamp_of(signer_info, signed, tsa_roots, facts)
    facts.append(("timestamp", time_text(moment) if moment else "none"))
    pool = [crypto_certificate(c.chosen) for c in signed["certificates"] or [] if c.name == "certificate"]
    fault = chain_fault(crypto_certificate(certificate), pool, roots, moment or now or datetime.datetime.now(datetime.timezone.utc),
                        x509.ExtendedKeyUsageOID.CODE_SIGNING)
    if fault:
        facts.append(("fault", "chain", fault))
    nested_signers(signer_info, facts)
    verdict = "not verified" if any(f[0] == "fault" for f in facts) else "verified"
    return verdict, facts


def judge_cms(der, content, roots, what, now=None):
    """The facts of a detached CMS signature over CONTENT, and its verdict."""
    signed = signed_data_of(der, what)
    encapsulated = signed["encap_content_info"]
    if encapsulated["content"].native is not None:
        raise Unreadable("%s: holds content of its own; a signature over SHA256SUMS is detached" % what)
    signer_info = the_signer_info(signed, what)
    certificate = signer_certificate(signed, signer_info, what)
    facts = [("signer", fingerprint_of(certificate), subject_of(certificate))]
    fault = signer_info_fault(signer_info, certificate, content)
    if fault:
        facts.append(("fault", "signature", "the file's digest is not the one signed" if "digest" in fault else fault))
    pool = [crypto_certificate(c.chosen) for c in signed["certificates"] or [] if c.name == "certificate"]
    fault = chain_fault(crypto_certificate(certificate), pool, roots, now or datetime.datetime.now(datetime.timezone.utc))
    if fault:
        facts.append(("fault", "chain", fault))
    return ("not verified" if len(facts) > 1 else "verified"), facts


# ------------------------------------------------------------- publishers
def read_publishers(path):
    """The publishers list: {bare fingerprint: name}. One line a certificate: its SHA-256
    fingerprint (with or without colons), then whom it is for; # starts a comment."""
    publishers = {}
    text = read_limited(path, 65536)
    for number, raw in enumerate(text.split(b"\n"), 1):
        line = raw.decode("ascii", "replace")
        if re.search(r"[^\x20-\x7e\t]", line):
            raise Unreadable("%s line %d: holds a character that is not printable ASCII" % (path, number))
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        match = re.fullmatch(r"((?:[0-9A-Fa-f]{2}:){31}[0-9A-Fa-f]{2}|[0-9A-Fa-f]{64})\s+(\S.*)", line)
        if not match:
            raise Unreadable("%s line %d: \"%s\" is not \"FINGERPRINT WHOM\"" % (path, number, shown(line)))
        fingerprint = bare_fingerprint(match.group(1))
        if fingerprint in publishers:
            raise Unreadable("%s line %d: the certificate is listed twice" % (path, number))
        publishers[fingerprint] = match.group(2)
    return publishers


def publisher_of(fingerprint, publishers, extra):
    wanted = bare_fingerprint(fingerprint)
    if wanted in {bare_fingerprint(e) for e in extra}:
        return "--publisher"
    return publishers.get(wanted)


# ------------------------------------------------------------ the records
# BUILDINFO and the pin: "Field: value" lines as Debian's .buildinfo, the
# toolchain one package a line under Installed-Build-Depends. Each field's
# value is judged for what it may be before anything is made of it.
RECORD_LIMIT = 65536
SUMS_LIMIT = 4096
PIN_FIELDS = ("Build-Suite", "Installed-Build-Depends")


def is_debian_suite(name):
    return len(name) <= 64 and re.fullmatch(r"[a-z][a-z0-9]*(-[a-z0-9]+)*", name) is not None


def is_debian_package(name):
    return len(name) <= 100 and re.fullmatch(r"[a-z0-9][a-z0-9+.-]+", name) is not None


def is_debian_version(version):
    """Debian policy 5.6.12: [epoch:]upstream[-revision]."""
    if len(version) > 128:
        return False
    match = re.fullmatch(r"[0-9]+:(.*)", version)
    version = match.group(1) if match else version
    upstream = version
    if "-" in version:
        upstream, revision = version.rsplit("-", 1)
        if not re.fullmatch(r"[A-Za-z0-9+.~]+", revision):
            return False
    return re.fullmatch(r"[0-9][A-Za-z0-9.+~-]*", upstream) is not None


def value_fault(kind, field, value, components):
    """What is wrong with FIELD's VALUE in a KIND of record (buildinfo or pin), or None."""
    if kind == "pin" and field not in PIN_FIELDS:
        return "%s is not a field of the pin" % field
    plain = {
        "Format": (value == "1.0", 'Format "%s" is not 1.0'),
        "Source": (value == "CorvandelUpdate", 'Source "%s" is not CorvandelUpdate'),
        "Commit": (re.fullmatch(r"[0-9a-f]{40}", value), 'Commit "%s" is not 40 hex digits'),
        "Source-Tree": (value in ("clean", "dirty"), 'Source-Tree "%s" is neither clean nor dirty'),
        "Source-Date-Epoch": (re.fullmatch(r"[0-9]{1,12}", value), 'Source-Date-Epoch "%s" is not a number of seconds'),
        "Build-Architecture": (re.fullmatch(r"[a-z0-9][a-z0-9-]{0,31}", value), 'Build-Architecture "%s" is not a Debian architecture\'s name'),
        "Build-Suite": (is_debian_suite(value), 'Build-Suite "%s" is not a Debian suite\'s name'),
        "Build-Root": (True, ""),
        "Installed-Build-Depends": (value == "", "Installed-Build-Depends holds a value on its own line; it lists one package a line below it"),
        "Osslsigncode": (re.fullmatch(r"([0-9]+(\.[0-9]+)*)?", value), 'Osslsigncode "%s" is not a version'),
    }
    for digest in ("Unsigned-Exe-Sha256", "Released-Exe-Sha256", "Signature-Sha256"):
        plain[digest] = (re.fullmatch(r"[0-9a-f]{64}", value), field + ' "%s" is not 64 lower-case hex digits')
    if field in plain:
        good, words = plain[field]
        return None if good else (words % value if "%s" in words else words)
    if field.startswith("Component-Signer-"):
        if field[len("Component-Signer-"):] not in components:
            return "%s names no component of the patch" % field
        if value != "none" and not re.fullmatch(r"([0-9A-F]{2}:){31}[0-9A-F]{2} .+", value):
            return '%s "%s" is neither none nor a SHA-256 fingerprint and a subject' % (field, value)
        return None
    return "%s is not a field of a BUILDINFO" % field


def record_lines(path, name, limit):
    """A record's lines, read whole only when it is a regular file of at most LIMIT bytes."""
    if os.path.islink(path) or not os.path.isfile(path):
        raise Unreadable("%s: not a regular file" % name)
    data = read_limited(path, limit)
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


def check_record(path, kind, name, packages, components):
    """Raises Unreadable naming the line and the fault, unless PATH holds only what such a record may."""
    def fault(number, words):
        return Unreadable("%s line %d: %s" % (name, number, shown(words)))
    if os.path.islink(path) or not os.path.isfile(path):
        raise Unreadable("%s: not a regular file" % name)
    if os.path.getsize(path) > RECORD_LIMIT:
        raise Unreadable("%s: larger than %d bytes" % (name, RECORD_LIMIT))
    seen, listed, depends = {}, {}, False
    for number, raw in enumerate(record_lines(path, name, RECORD_LIMIT), 1):
        if re.search(rb"[^\x20-\x7e]", raw):
            raise fault(number, "holds a character that is not printable ASCII (a control character, or CR)")
        line = raw.decode("ascii")
        if depends and line.startswith(" "):
            match = re.fullmatch(r" ([^ ]+) \(= ([^ ]+)\)(,?)", line)
            if not match:
                raise fault(number, '"%s" is not " PACKAGE (= VERSION),"' % line)
            package, version = match.group(1), match.group(2)
            if not is_debian_package(package):
                raise fault(number, '"%s" is not a Debian package\'s name' % package)
            if not is_debian_version(version):
                raise fault(number, '%s\'s version "%s" is not a Debian version' % (package, version))
            if package not in packages:
                raise fault(number, "%s is not one of the packages that shape the exe (%s)" % (package, " ".join(packages)))
            if package in listed:
                raise fault(number, "%s is listed twice" % package)
            listed[package] = version
            continue
        depends = False
        if kind == "pin" and (line.startswith("#") or line == ""):
            continue
        match = re.fullmatch(r"([A-Z][A-Za-z0-9.-]*):( (.*))?", line)
        if not match:
            raise fault(number, '"%s" is not "Field: value"' % line)
        field, value = match.group(1), match.group(3) or ""
        if field in seen:
            raise fault(number, "%s is given twice (first on line %d)" % (field, seen[field]))
        seen[field] = number
        wrong = value_fault(kind, field, value, components)
        if wrong:
            raise fault(number, wrong)
        depends = field == "Installed-Build-Depends"
    if "Installed-Build-Depends" not in seen and kind != "pin":
        return
    for package in packages:
        if package not in listed:
            it_lists = " (it lists %s)" % " ".join(sorted(listed)) if listed else ""
            raise Unreadable("%s: %s" % (name, shown("Installed-Build-Depends does not list %s%s" % (package, it_lists))))


def check_sums(path, names):
    """SHA256SUMS in sha256sum's own format, listing only NAMES, each at most once."""
    if os.path.islink(path) or not os.path.isfile(path) or os.path.getsize(path) > SUMS_LIMIT:
        raise Unreadable("SHA256SUMS: not a regular file of at most %d bytes" % SUMS_LIMIT)
    seen = set()
    for number, raw in enumerate(record_lines(path, "SHA256SUMS", SUMS_LIMIT), 1):
        line = raw.decode("ascii", "replace")
        match = re.fullmatch(r"[0-9a-f]{64}  ([A-Za-z0-9._-]+)", line)
        if not match or re.search(rb"[^\x20-\x7e]", raw):
            raise Unreadable("SHA256SUMS line %d: %s" % (number, shown('"%s" is not "SHA-256  NAME" for a file of the release' % line)))
        name = match.group(1)
        if name not in names:
            raise Unreadable("SHA256SUMS line %d: %s is not a file of the release" % (number, name))
        if name in seen:
            raise Unreadable("SHA256SUMS line %d: %s is listed twice" % (number, name))
        seen.add(name)


# ------------------------------------------------------ the release folder
def sha256_of(path):
    return hashlib.sha256(read_limited(path)).hexdigest()


def checksum_faults(folder, required):
    """What is wrong with FOLDER's files against its SHA256SUMS (checked before, by check_sums),
    one fault a line: a file whose SHA-256 is not the one listed, a REQUIRED name not listed."""
    faults, listed = [], set()
    for raw in read_limited(os.path.join(folder, "SHA256SUMS"), SUMS_LIMIT).decode("ascii").splitlines():
        digest, name = raw.split("  ", 1)
        listed.add(name)
        entry = os.path.join(folder, name)
        if os.path.islink(entry) or not os.path.isfile(entry):
            faults.append("%s is listed in SHA256SUMS and missing" % name)
        elif sha256_of(entry) != digest:
            faults.append("%s is not the file SHA256SUMS lists (its SHA-256 differs)" % name)
    faults += ["SHA256SUMS does not list %s" % name for name in required if name not in listed]
    return faults


def zip_faults(archive, folder, entries):
    """What is wrong with the zip against the release's files: it must hold exactly ENTRIES, in
    order, each the release's file byte for byte. Read with limits, whatever the zip claims."""
    import zipfile
    try:
        with zipfile.ZipFile(archive) as opened:
            names = opened.namelist()
            if names != entries:
                return ["%s does not hold exactly %s" % (os.path.basename(archive), " ".join(entries))]
            faults = []
            for name in entries:
                wanted = read_limited(os.path.join(folder, name))
                with opened.open(name) as member:
                    found = member.read(len(wanted) + 1)
                if found != wanted:
                    faults.append("%s's %s is not the release's" % (os.path.basename(archive), name))
            return faults
    except (zipfile.BadZipFile, zipfile.LargeZipFile, NotImplementedError, EOFError, OSError, ValueError) as error:
        return ["%s is not a zip that can be read (%s)" % (os.path.basename(archive), shown(error))]


# -------------------------------------------------------------- commands
def options(arguments, known, repeated=[]):
    """A command's positional arguments and its --options (each with one value)."""
    positional, given = [], {name: [] for name in known + repeated}
    i = 0
    while i < len(arguments):
        word = arguments[i]
        if word.startswith("--"):
            name = word[2:]
            if name not in given or i + 1 >= len(arguments):
                raise Unreadable("usage: %s needs a value, and is one of --%s" % (shown(word), ", --".join(known + repeated)))
            if name not in repeated and given[name]:
                raise Unreadable("usage: %s is given twice" % shown(word))
            given[name].append(arguments[i + 1])
            i += 2
        else:
            positional.append(word)
            i += 1
    return positional, given


def report(verdict, facts, given):
    publishers = read_publishers(given["publishers"][0]) if given.get("publishers") else {}
    for fact in facts:
        print(" ".join(fact))
    signer = [f for f in facts if f[0] == "signer"]
    if signer:
        name = publisher_of(signer[0][1], publishers, given.get("publisher", []))
        print("publisher %s" % (name or "none"))
    return {"verified": 0, "not verified": 1, "unsigned": 3}[verdict]


def roots_of(given, name):
    paths = given[name] or [SYSTEM_ROOTS]
    return pem_certificates(paths[0])


def main(arguments):
    if not arguments or arguments[0] not in ("authenticode", "cms", "publishers", "record", "sums", "checksums", "zip"):
        raise Unreadable("usage: release_reader.py authenticode|cms|publishers|record|sums|checksums|zip ...")
    command, rest = arguments[0], arguments[1:]
    if command == "record":
        positional, given = options(rest, ["kind", "name"], ["package", "component"])
        if len(positional) != 1 or not given["kind"] or given["kind"][0] not in ("BUILDINFO", "pin"):
            raise Unreadable("usage: release_reader.py record FILE --kind BUILDINFO|pin [--name NAME] [--package P]... [--component C]...")
        kind = "pin" if given["kind"][0] == "pin" else "buildinfo"
        check_record(positional[0], kind, (given["name"] or [given["kind"][0]])[0], given["package"], given["component"])
        return 0
    if command == "checksums":
        positional, given = options(rest, [], ["required"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py checksums FOLDER [--required NAME]...")
        faults = checksum_faults(positional[0], given["required"])
        print("\n".join(faults)) if faults else None
        return 1 if faults else 0
    if command == "zip":
        positional, given = options(rest, [], ["entry"])
        if len(positional) != 2:
            raise Unreadable("usage: release_reader.py zip ZIP FOLDER [--entry NAME]...")
        faults = zip_faults(positional[0], positional[1], given["entry"])
        print("\n".join(faults)) if faults else None
        return 1 if faults else 0
    if command == "sums":
        positional, given = options(rest, [], ["name"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py sums FILE [--name NAME]...")
        check_sums(positional[0], set(given["name"]))
        return 0
    if command == "publishers":
        positional, _ = options(rest, [])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py publishers FILE")
        for fingerprint, name in read_publishers(positional[0]).items():
            print(fingerprint, name)
        return 0
    if command == "authenticode":
        positional, given = options(rest, ["roots", "tsa-roots", "publishers"], ["publisher"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py authenticode FILE [--roots PEM] [--tsa-roots PEM] [--publishers FILE] [--publisher FINGERPRINT]...")
        name = positional[0].rsplit("/", 1)[-1]
        verdict, facts = judge_authenticode(read_limited(positional[0]), roots_of(given, "roots"),
                                            roots_of(given, "tsa-roots"), shown(name))
        return report(verdict, facts, given)
    positional, given = options(rest, ["roots", "publishers"], ["publisher"])
    if len(positional) != 2:
        raise Unreadable("usage: release_reader.py cms P7S CONTENT [--roots PEM] [--publishers FILE] [--publisher FINGERPRINT]...")
    name = positional[0].rsplit("/", 1)[-1]
    verdict, facts = judge_cms(read_limited(positional[0]), read_limited(positional[1]), roots_of(given, "roots"), shown(name))
    return report(verdict, facts, given)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except Unreadable as error:
        print(error, file=sys.stderr)
        sys.exit(2)
    except Exception as error:  # a structure no parser above expected: never a pass
        print("release_reader.py: cannot read it: %s: %s" % (type(error).__name__, shown(error)), file=sys.stderr)
        sys.exit(2)

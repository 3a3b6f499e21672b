# Signatures for the release reader (scripts/lib/release_reader.py): an
# Authenticode signature in a PE file (its certificate table found by
# reader_pe.py) and a detached CMS signature, parsed with python3-asn1crypto.
# The primary signature alone decides; its signer is the certificate its
# SignerInfo names by issuer and serial; nested signatures are listed and never
# count; a timestamp's time is its token's own.
import datetime
import hashlib

from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp registers TSTInfo)
from cryptography import x509

from reader_certificates import (HASHES, chain_fault, crypto_certificate, fingerprint_of, subject_of, time_text,
                                 utc, verify_with_key)
from reader_common import Unreadable, shown
from reader_pe import pe_signatures

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


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

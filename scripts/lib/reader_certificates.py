# Certificates for the release reader (scripts/lib/release_reader.py): their
# names and fingerprints as the tools show them, and whether one chains up to a
# trusted root, checked here with python3-cryptography rather than read from
# another tool's report.
import datetime
import hashlib
import re

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from reader_common import Unreadable, read_limited, shown

HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
SHORT_NAMES = {
    "country_name": "C", "state_or_province_name": "ST", "locality_name": "L",
    "organization_name": "O", "organizational_unit_name": "OU", "common_name": "CN",
    "email_address": "emailAddress", "serial_number": "serialNumber",
    "domain_component": "DC", "user_id": "UID",
}


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


def utc(moment):
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)


def time_text(moment):
    """As OpenSSL prints a time, the way release notes and logs show it."""
    moment = moment.astimezone(datetime.timezone.utc)
    return "%s %2d %s %d GMT" % (moment.strftime("%b"), moment.day, moment.strftime("%H:%M:%S"), moment.year)


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

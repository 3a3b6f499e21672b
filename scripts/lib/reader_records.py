# Records for the release reader (scripts/lib/release_reader.py): the
# publishers list, BUILDINFO and the toolchain's pin, SHA256SUMS, and the
# release folder's files and zip against them. Each line is judged for what it
# may be; a fault names the line.
import hashlib
import os
import re
import zipfile

from reader_common import Unreadable, bare_fingerprint, read_limited, shown


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

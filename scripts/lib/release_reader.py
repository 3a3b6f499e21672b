#!/usr/bin/python3
# The release tools' reader: what comes from outside (a release folder's
# records, a kit's components, a signed exe) is parsed here, with parsers made
# for each structure, and judged from what it holds, never from another tool's
# printed report. The shell scripts run the build, the root, Wine and the
# steps in order, and ask this program for verdicts. Run with Debian's
# /usr/bin/python3 and its python3-asn1crypto, python3-cryptography and
# python3-pefile (scripts/setup installs them). Its parts, beside it:
# reader_signatures.py (Authenticode and CMS), reader_certificates.py (names,
# fingerprints, chains), reader_records.py (the publishers list, BUILDINFO, the
# pin, SHA256SUMS, the folder and its zip), reader_pe.py (the exe's shape) and
# reader_common.py.
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
#   release_reader.py exe EXE --machine i386|x86-64 --budget BYTES [--allowed DLL]... [--required DLL]...
#       the shipped exe's shape, from its PE headers (tests/wine/check_exe.sh says what it must be):
#       "FAIL: ..." for each fault, then its size and imports. Exit 0, or 1 with faults.
#   release_reader.py ready
#       every part can be imported: each Debian package it needs is installed. Exit 0 or 2.
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
import sys

# Its parts are imported from the checkout: no bytecode is written beside them.
sys.dont_write_bytecode = True

import importlib

try:
    from reader_common import SYSTEM_ROOTS, Unreadable, read_limited, shown
except Exception as broken:  # a part missing or broken is "cannot read" (2), never a verdict
    print("release_reader.py: cannot load its part reader_common.py: %s" % broken, file=sys.stderr)
    sys.exit(2)


def part(name):
    """One of the reader's parts, imported when a command needs it: the records
    need no cryptography, and most calls read only records."""
    try:
        return importlib.import_module("reader_" + name)
    except ImportError as missing:
        # A missing part is "cannot read" (2), never a verdict.
        print("release_reader.py: missing Debian package python3-%s (scripts/setup installs it)" % missing.name.split(".")[0],
              file=sys.stderr)
        sys.exit(2)


# -------------------------------------------------------------- commands
def options(arguments, known, repeated=()):
    """A command's positional arguments and its --options (each with one value)."""
    positional, given = [], {name: [] for name in list(known) + list(repeated)}
    i = 0
    while i < len(arguments):
        word = arguments[i]
        if word.startswith("--"):
            name = word[2:]
            if name not in given or i + 1 >= len(arguments):
                raise Unreadable("usage: %s needs a value, and is one of --%s" % (shown(word), ", --".join(list(known) + list(repeated))))
            if name not in repeated and given[name]:
                raise Unreadable("usage: %s is given twice" % shown(word))
            given[name].append(arguments[i + 1])
            i += 2
        else:
            positional.append(word)
            i += 1
    return positional, given


def report(verdict, facts, given):
    records = part("records")
    publishers = records.read_publishers(given["publishers"][0]) if given.get("publishers") else {}
    for fact in facts:
        print(" ".join(fact))
    signer = [f for f in facts if f[0] == "signer"]
    if signer:
        name = records.publisher_of(signer[0][1], publishers, given.get("publisher", []))
        print("publisher %s" % (name or "none"))
    return {"verified": 0, "not verified": 1, "unsigned": 3}[verdict]


def roots_path(given, name):
    return (given[name] or [SYSTEM_ROOTS])[0]


def roots_of(given, name):
    return part("certificates").pem_certificates(roots_path(given, name))


def main(arguments):
    if not arguments or arguments[0] not in ("authenticode", "cms", "publishers", "record", "sums", "checksums", "zip", "exe", "ready"):
        raise Unreadable("usage: release_reader.py authenticode|cms|publishers|record|sums|checksums|zip|exe|ready ...")
    command, rest = arguments[0], arguments[1:]
    if command == "ready":
        for name in ("records", "pe", "certificates", "signatures"):
            part(name)
        return 0
    if command == "exe":
        pe = part("pe")
    elif command == "cms":
        signatures = part("signatures")
    elif command != "authenticode":
        records = part("records")
    if command == "exe":
        positional, given = options(rest, ["machine", "budget"], ["allowed", "required"])
        if len(positional) != 1 or given["machine"][:1] not in (["i386"], ["x86-64"]) or not given["budget"][:1] or \
                not given["budget"][0].isdigit():
            raise Unreadable("usage: release_reader.py exe EXE --machine i386|x86-64 --budget BYTES [--allowed DLL]... [--required DLL]...")
        faults, imports = pe.exe_shape(positional[0], given["machine"][0], int(given["budget"][0]), set(given["allowed"]),
                                       given["required"])
        for fault in faults:
            print("FAIL: %s" % fault)
        print("%s: %d bytes; imports: %s" % (shown(positional[0].rsplit("/", 1)[-1]), len(read_limited(positional[0])), " ".join(imports)))
        return 1 if faults else 0
    if command == "record":
        positional, given = options(rest, ["kind", "name"], ["package", "component"])
        if len(positional) != 1 or not given["kind"] or given["kind"][0] not in ("BUILDINFO", "pin"):
            raise Unreadable("usage: release_reader.py record FILE --kind BUILDINFO|pin [--name NAME] [--package P]... [--component C]...")
        kind = "pin" if given["kind"][0] == "pin" else "buildinfo"
        records.check_record(positional[0], kind, (given["name"] or [given["kind"][0]])[0], given["package"], given["component"])
        return 0
    if command == "checksums":
        positional, given = options(rest, [], ["required"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py checksums FOLDER [--required NAME]...")
        faults = records.checksum_faults(positional[0], given["required"])
        print("\n".join(faults)) if faults else None
        return 1 if faults else 0
    if command == "zip":
        positional, given = options(rest, [], ["entry"])
        if len(positional) != 2:
            raise Unreadable("usage: release_reader.py zip ZIP FOLDER [--entry NAME]...")
        faults = records.zip_faults(positional[0], positional[1], given["entry"])
        print("\n".join(faults)) if faults else None
        return 1 if faults else 0
    if command == "sums":
        positional, given = options(rest, [], ["name"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py sums FILE [--name NAME]...")
        records.check_sums(positional[0], set(given["name"]))
        return 0
    if command == "publishers":
        positional, _ = options(rest, [])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py publishers FILE")
        for fingerprint, name in records.read_publishers(positional[0]).items():
            print(fingerprint, name)
        return 0
    if command == "authenticode":
        positional, given = options(rest, ["roots", "tsa-roots", "publishers"], ["publisher"])
        if len(positional) != 1:
            raise Unreadable("usage: release_reader.py authenticode FILE [--roots PEM] [--tsa-roots PEM] [--publishers FILE] [--publisher FINGERPRINT]...")
        name = positional[0].rsplit("/", 1)[-1]
        data = read_limited(positional[0])
        # Most files a packaging reads are unsigned: their certificate table says
        # so, and no cryptography is needed for that. The roots are read all the
        # same, so that roots that cannot be read are refused whatever the file.
        if not part("pe").pe_signatures(data, shown(name))[1]:
            for roots in ("roots", "tsa-roots"):
                read_limited(roots_path(given, roots))
            return report("unsigned", [("signature", "none")], given)
        verdict, facts = part("signatures").judge_authenticode(data, roots_of(given, "roots"), roots_of(given, "tsa-roots"), shown(name))
        return report(verdict, facts, given)
    positional, given = options(rest, ["roots", "publishers"], ["publisher"])
    if len(positional) != 2:
        raise Unreadable("usage: release_reader.py cms P7S CONTENT [--roots PEM] [--publishers FILE] [--publisher FINGERPRINT]...")
    name = positional[0].rsplit("/", 1)[-1]
    verdict, facts = signatures.judge_cms(read_limited(positional[0]), read_limited(positional[1]), roots_of(given, "roots"), shown(name))
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


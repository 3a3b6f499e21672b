#!/usr/bin/python3
# The release reader's parsers and verdicts on files made here: a small PE
# signed by osslsigncode with throwaway keys (a publisher's, an impostor's),
# nested, tampered with and cut short; a detached CMS signature; the
# publishers list. Each row says what the reader must answer.
#   /usr/bin/python3 tests/package/release_reader_test.py
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.dont_write_bytecode = True  # nothing written into the checkout, where other steps look for changes
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
import reader_certificates as certificates  # noqa: E402
import reader_common as common  # noqa: E402
import reader_pe as pe  # noqa: E402
import reader_records as records  # noqa: E402
import reader_signatures as signatures  # noqa: E402
from asn1crypto import x509 as asn1_x509  # noqa: E402
from cryptography.hazmat.primitives import serialization  # noqa: E402

WORK = tempfile.mkdtemp(prefix="corvandel-reader-test.")


def path(name):
    return os.path.join(WORK, name)


def write(name, data):
    with open(path(name), "wb") as handle:
        handle.write(data)


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def small_pe(out):
    """A PE32 of one section, as small as osslsigncode and pefile take it."""
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x14C, 1, 0, 0, 0, 224, 0x0102)
    optional = struct.pack("<HBB9I6H4I2H6I", 0x10B, 1, 0, 0x200, 0, 0, 0x1000, 0x1000, 0x1000, 0x400000, 0x1000,
                           0x200, 4, 0, 0, 0, 4, 0, 0, 0x2000, 0x200, 0, 2, 0, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    section = struct.pack("<8s6I2HI", b".text", 0x200, 0x1000, 0x200, 0x200, 0, 0, 0, 0, 0x60000020)
    headers = b"MZ" + bytes(58) + struct.pack("<I", 64) + coff + optional + bytes(128) + section
    with open(out, "wb") as handle:
        handle.write(headers.ljust(0x200, b"\0") + b"\xc3" * 0x200)


def certificate(name, subject, serial=None):
    extra = ["-set_serial", serial] if serial else []
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"), "-out",
        path(name + ".pem"), "-days", "2", "-subj", subject, "-addext", "extendedKeyUsage=codeSigning", *extra)


def sign(key, source, out, *options):
    run("osslsigncode", "sign", "-certs", path(key + ".pem"), "-key", path(key + ".key"), "-h", "sha256",
        *options, "-in", path(source), "-out", path(out))


def setUpModule():
    small_pe(path("plain.exe"))
    certificate("publisher", "/CN=Corvandel Release Signing")
    certificate("impostor", "/CN=Corvandel Release Signing/O=Impostor")
    serial = subprocess.run(["openssl", "x509", "-in", path("publisher.pem"), "-noout", "-serial"],
                            capture_output=True, text=True, check=True).stdout.strip().split("=")[1]
    # The publisher's serial under another issuer, the publisher's certificate carried beside it.
    certificate("same-serial", "/CN=Corvandel Release Signing/O=Same Serial", "0x" + serial)
    sign("publisher", "plain.exe", "publisher.exe")
    sign("impostor", "publisher.exe", "publisher-then-impostor.exe", "-nest")
    sign("impostor", "plain.exe", "impostor.exe")
    sign("publisher", "impostor.exe", "impostor-then-publisher.exe", "-nest")
    sign("same-serial", "plain.exe", "same-serial.exe", "-ac", path("publisher.pem"))
    data = bytearray(common.read_limited(path("publisher.exe")))
    data[0x210] ^= 1
    write("changed.exe", data)
    write("cut.exe", data[:-40])
    with open(path("SHA256SUMS"), "wb") as handle:
        handle.write(b"0" * 64 + b"  Kestovar.ocx\n")
    run("openssl", "cms", "-sign", "-binary", "-noattr", "-md", "sha256", "-in", path("SHA256SUMS"), "-signer",
        path("publisher.pem"), "-inkey", path("publisher.key"), "-outform", "DER", "-out", path("SHA256SUMS.p7s"))
    with open(path("changed-sums"), "wb") as handle:
        handle.write(b"1" * 64 + b"  Kestovar.ocx\n")


def fingerprint(name):
    return certificates.fingerprint_of(asn1_x509.Certificate.load(
        certificates.pem_certificates(path(name + ".pem"))[0].public_bytes(serialization.Encoding.DER)))


class Signatures(unittest.TestCase):
    def authenticode(self, name, roots="publisher"):
        trusted = certificates.pem_certificates(path(roots + ".pem")) if roots else []
        return signatures.judge_authenticode(common.read_limited(path(name)), trusted, [], name)

    def test_authenticode(self):
        # file | roots | verdict | signer | nested signers | the first fault ("" for none)
        rows = [
            ("plain.exe", "publisher", "unsigned", None, [], ""),
            ("publisher.exe", "publisher", "verified", "publisher", [], ""),
            ("publisher.exe", None, "not verified", "publisher", [], "chain self-signed certificate"),
            ("changed.exe", "publisher", "not verified", "publisher", [], "digest the file's digest is not the one signed"),
            ("publisher-then-impostor.exe", "publisher", "verified", "publisher", ["impostor"], ""),
            # Windows judges the first signature: a trusted one nested under it never counts.
            ("impostor-then-publisher.exe", "publisher", "not verified", "impostor", ["publisher"], "chain self-signed certificate"),
            # The signer is the certificate of the SignerInfo's issuer and serial, not the first of its serial.
            ("same-serial.exe", "publisher", "not verified", "same-serial", [], "chain self-signed certificate"),
        ]
        for name, roots, verdict, signer, nested, fault in rows:
            with self.subTest(file=name, roots=roots):
                seen, facts = self.authenticode(name, roots)
                self.assertEqual(seen, verdict)
                signers = [f[1] for f in facts if f[0] == "signer"]
                self.assertEqual(signers, [fingerprint(signer)] if signer else [])
                self.assertEqual([f[1] for f in facts if f[0] == "nested"], [fingerprint(n) for n in nested])
                faults = [" ".join(f[1:]) for f in facts if f[0] == "fault"]
                self.assertEqual(faults[:1], [fault] if fault else [])

    def test_unreadable(self):
        # A file no release holds is never judged: each is refused with what is wrong.
        with open(path("text.exe"), "wb") as handle:
            handle.write(b"not a PE file\n")
        for name, words in [("cut.exe", "not where a signature lies"), ("text.exe", "not a PE file")]:
            with self.subTest(file=name), self.assertRaises(common.Unreadable) as caught:
                self.authenticode(name)
            self.assertIn(words, str(caught.exception))

    def test_detached_sums(self):
        rows = [("SHA256SUMS", "publisher", "verified", []),
                ("changed-sums", "publisher", "not verified", ["signature"]),
                ("SHA256SUMS", "impostor", "not verified", ["chain"])]
        for content, roots, verdict, faults in rows:
            with self.subTest(content=content, roots=roots):
                seen, facts = signatures.judge_cms(common.read_limited(path("SHA256SUMS.p7s")), common.read_limited(path(content)),
                                               certificates.pem_certificates(path(roots + ".pem")), "SHA256SUMS.p7s")
                self.assertEqual((seen, [f[1] for f in facts if f[0] == "fault"]), (verdict, faults))
                self.assertEqual(facts[0][1], fingerprint("publisher"))


class Publishers(unittest.TestCase):
    def test_lines(self):
        good = "AB" * 32
        # the list's text | what it reads as, or the words of its refusal
        rows = [
            ("# none yet\n\n", {}),
            (":".join(["ab"] * 32) + "  Corvandel release key, until 2027\n", {good: "Corvandel release key, until 2027"}),
            (good + " one\n" + good.lower() + " two\n", "listed twice"),
            (good + "\n", "is not \"FINGERPRINT WHOM\""),
            ("AB" * 31 + " short\n", "is not \"FINGERPRINT WHOM\""),
            (good + " a\x1b[2J name\n", "not printable ASCII"),
        ]
        for text, expected in rows:
            with self.subTest(text=text):
                with open(path("publishers"), "w") as handle:
                    handle.write(text)
                if isinstance(expected, dict):
                    self.assertEqual(records.read_publishers(path("publishers")), expected)
                else:
                    with self.assertRaises(common.Unreadable) as caught:
                        records.read_publishers(path("publishers"))
                    self.assertIn(expected, str(caught.exception))
        self.assertEqual(records.publisher_of(good, {}, [":".join(["ab"] * 32)]), "--publisher")


class Records(unittest.TestCase):
    def test_pin_and_sums(self):
        pin = "# the toolchain\nBuild-Suite: bookworm\nInstalled-Build-Depends:\n cmake (= 3.25.1-1),\n make (= 4.3-4.1)\n"
        # kind | text | the refusal ("" for none)
        rows = [
            ("pin", pin, ""),
            ("pin", pin.replace(" make (= 4.3-4.1)\n", ""), "pin: Installed-Build-Depends does not list make (it lists cmake)"),
            ("pin", pin + "Commit: " + "0" * 40 + "\n", "pin line 6: Commit is not a field of the pin"),
            ("pin", pin.replace("4.3-4.1", "4.3 -o x"), "pin line 5: \" make (= 4.3 -o x)\" is not \" PACKAGE (= VERSION),\""),
            ("buildinfo", "Format: 1.0\nSource-Tree: clean\nSource-Tree: dirty\n", "pin line 3: Source-Tree is given twice (first on line 2)"),
            ("buildinfo", "Component-Signer-evil.dll: none\n", "pin line 1: Component-Signer-evil.dll names no component of the patch"),
            ("sums", "0" * 64 + "  Kestovar.ocx\n", ""),
            ("sums", "0" * 64 + "  /etc/shadow\n", "is not \"SHA-256  NAME\" for a file of the release"),
            ("sums", ("0" * 64 + "  Kestovar.ocx\n") * 2, "SHA256SUMS line 2: Kestovar.ocx is listed twice"),
        ]
        for kind, text, refusal in rows:
            with self.subTest(kind=kind, text=text):
                write("record", text.encode("ascii"))
                check = (lambda: records.check_sums(path("record"), {"Kestovar.ocx"})) if kind == "sums" else \
                    (lambda: records.check_record(path("record"), kind, "pin", ["cmake", "make"], ["Kestovar.ocx"]))
                if not refusal:
                    check()
                    continue
                with self.assertRaises(common.Unreadable) as caught:
                    check()
                self.assertIn(refusal, str(caught.exception))


    def test_folder_and_zip(self):
        folder = path("folder")
        os.makedirs(folder, exist_ok=True)
        for name, data in [("a.txt", b"a\n"), ("b.txt", b"b\n")]:
            write("folder/" + name, data)
        write("folder/SHA256SUMS", b"".join(b"%s  %s\n" % (hashlib.sha256(d).hexdigest().encode(), n)
                                           for n, d in [(b"a.txt", b"a\n"), (b"b.txt", b"B\n")]))
        self.assertEqual(records.checksum_faults(folder, ["a.txt", "c.txt"]),
                         ["b.txt is not the file SHA256SUMS lists (its SHA-256 differs)", "SHA256SUMS does not list c.txt"])
        # the zip's entries | the verdict's faults
        rows = [([("a.txt", b"a\n"), ("b.txt", b"b\n")], []),
                ([("b.txt", b"b\n"), ("a.txt", b"a\n")], ["z.zip does not hold exactly a.txt b.txt"]),
                ([("a.txt", b"a\n"), ("b.txt", b"b\n and more")], ["z.zip's b.txt is not the release's"])]
        for entries, faults in rows:
            with self.subTest(entries=entries), zipfile.ZipFile(path("z.zip"), "w") as archive:
                for name, data in entries:
                    archive.writestr(name, data)
            self.assertEqual(records.zip_faults(path("z.zip"), folder, ["a.txt", "b.txt"]), faults)
        self.assertIn("is not a zip that can be read", records.zip_faults(path("folder/a.txt"), folder, ["a.txt"])[0])


class ExeShape(unittest.TestCase):
    def test_shape(self):
        # the file | machine | the faults expected among those found (each as a fault's start)
        write("short.exe", common.read_limited(path("plain.exe"))[:600])
        rows = [
            ("plain.exe", "i386", ["no ASLR/DEP flags (DllCharacteristics 0000)",
                                   "imports nothing from KERNEL32.DLL: not the program's import table"]),
            ("plain.exe", "x86-64", ["not a PE32+ x86-64 image"]),
            ("short.exe", "i386", ["cut short: section 1 of 1 ends at 1024, past its end (600 bytes)"]),
            ("SHA256SUMS", "i386", ["not a PE image ("]),
        ]
        for name, machine, expected in rows:
            with self.subTest(file=name, machine=machine):
                faults, _ = pe.exe_shape(path(name), machine, 16384, {"KERNEL32.DLL"}, ["KERNEL32.DLL"])
                self.assertEqual([e for e in expected if not any(f.startswith(e) for f in faults)], [], faults)


class MissingPackage(unittest.TestCase):
    def test_commands(self):
        """Without python3-cryptography, what needs it cannot read (2) and says which package; the records and an unsigned file still read."""
        # Gone whole; and installed, but with a module the parts import broken.
        for shadow, broken in [("shadow/cryptography/__init__.py", "cryptography"), ("broken/cryptography/x509.py", "cryptography.x509")]:
            os.makedirs(os.path.dirname(path(shadow)), exist_ok=True)
            write(shadow, ("raise ImportError(\"No module named '%s'\", name='%s')\n" % (broken, broken)).encode())
        write("broken/cryptography/__init__.py", b"")
        write("empty-publishers", b"# none\n")
        reader = os.path.join(os.path.dirname(sys.path[0] + "/"), "release_reader.py")
        missing = "release_reader.py: missing Debian package python3-cryptography"
        # the command | its exit status | what it says on standard error | the shadowing folder
        rows = [
            (["ready"], 2, missing + " (scripts/setup installs it)\n", "shadow"),
            (["ready"], 2, missing, "broken"),
            (["authenticode", path("publisher.exe")], 2, missing, "shadow"),
            (["authenticode", path("plain.exe")], 3, "", "shadow"),  # unsigned, as its certificate table alone says
            (["authenticode", path("plain.exe"), "--roots", path("none.pem")], 2, path("none.pem") + ": cannot be read", "shadow"),
            (["publishers", path("empty-publishers")], 0, "", "shadow"),
        ]
        for arguments, status, said, shadow in rows:
            with self.subTest(arguments=arguments, shadow=shadow):
                ran = subprocess.run(["/usr/bin/python3", reader] + arguments, capture_output=True, text=True, timeout=60,
                                     env=dict(os.environ, PYTHONPATH=path(shadow)))
                self.assertEqual((ran.returncode, ran.stderr[:len(said)]), (status, said), ran.stderr)


if __name__ == "__main__":
    result = unittest.main(exit=False, verbosity=1).result
    subprocess.run(["rm", "-rf", WORK], check=False)
    failed = len(result.failures) + len(result.errors)
    print("%d passed, %d failed" % (result.testsRun - failed, failed))
    sys.exit(1 if failed or not result.wasSuccessful() else 0)

# The shipped exe's shape for the release reader (scripts/lib/release_reader.py),
# read from its PE headers with python3-pefile rather than from objdump's
# report: the machine it was built for, a Windows GUI program with ASLR and
# NX, whole (headers, every section's data and a signature inside the file),
# no larger than its budget, and an import table naming only the DLLs given;
# and where its Authenticode signatures lie (reader_signatures.py reads them).
import struct

import pefile

from reader_common import Unreadable, read_limited, shown

MACHINES = {"i386": (0x14C, 0x10B, "PE32 i386"), "x86-64": (0x8664, 0x20B, "PE32+ x86-64")}
GUI = 2
ASLR_AND_NX = 0x40 | 0x100  # IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE and NX_COMPAT


def exe_shape(path, machine, budget, allowed, required):
    """The faults of the exe at PATH, one a line (none when it has the program's shape), and its imports."""
    data = read_limited(path)
    faults = []
    if len(data) > budget:
        faults.append("%d bytes, more than the %d-byte budget" % (len(data), budget))
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        return faults + ["not a PE image (%s)" % shown(error)], []
    headers_end = pe.OPTIONAL_HEADER.SizeOfHeaders
    if headers_end > len(data):
        faults.append("cut short: its headers end at %d, past its end (%d bytes)" % (headers_end, len(data)))
    sections = pe.sections
    for number, section in enumerate(sections, 1):
        end = section.PointerToRawData + section.SizeOfRawData
        if end > len(data):
            faults.append("cut short: section %d of %d ends at %d, past its end (%d bytes)" % (number, len(sections), end, len(data)))
    if len(pe.OPTIONAL_HEADER.DATA_DIRECTORY) > 4:
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]
        if table.VirtualAddress + table.Size > len(data):
            faults.append("cut short: its signature ends at %d, past its end (%d bytes)" % (table.VirtualAddress + table.Size, len(data)))
    wanted_machine, wanted_magic, image = MACHINES[machine]
    if pe.FILE_HEADER.Machine != wanted_machine or pe.OPTIONAL_HEADER.Magic != wanted_magic:
        faults.append("not a %s image" % image)
    if pe.OPTIONAL_HEADER.Subsystem != GUI:
        faults.append("not a Windows GUI program")
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    if flags & ASLR_AND_NX != ASLR_AND_NX:
        faults.append("no ASLR/DEP flags (DllCharacteristics %04x)" % flags)
    try:
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    except pefile.PEFormatError as error:
        raise Unreadable("%s: its import table does not parse (%s)" % (shown(path), shown(error)))
    imports = sorted({entry.dll.decode("ascii", "replace").upper() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])})
    faults += ["imports %s, which is not a known DLL" % shown(dll) for dll in imports if dll not in allowed]
    faults += ["imports nothing from %s: not the program's import table" % dll for dll in required if dll not in imports]
    return faults, imports


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

#!/usr/bin/env python3
"""Fails when an executable would write into a read-only page at a delay-bound call.

    python3 tools/check-delay-imports.py EXE MAP

The first call of a delay-imported function goes through the delay-load helper, which
writes the library's handle and the function's address into the slots that the library's
delay import descriptor names. The toolchain's own helper writes them in place: every slot
must then lie in a writable section. binutils 2.44 and later keep the delay import address
table in a read-only section (.idata), so the project links its own helper
(src/shared/delay_load.cpp), which makes the page writable for the write.

The descriptors are found through the delay import directory, or, where the linker left
it empty (GNU ld does), through their symbols in the linker's map (MAP), which also names
the object that defines the helper. A slot in a read-only section passes only when that
object is the project's. Prints one line per executable; exits 1 on a fault, 2 when a file
cannot be read as expected.
"""
import re
import struct
import sys

WRITABLE = 0x80000000  # IMAGE_SCN_MEM_WRITE
DELAY_IMPORT = 13  # IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT
PROJECT_HELPER = "delay_load.cpp.obj"


class Image:
    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.wide = magic == 0x20B
        self.base = struct.unpack_from("<Q" if self.wide else "<I", data, optional + (24 if self.wide else 28))[0]
        directories = optional + (112 if self.wide else 96)
        self.delay_rva, self.delay_size = struct.unpack_from("<II", data, directories + 8 * DELAY_IMPORT)
        self.sections = []
        for n in range(count):
            header = optional + optional_size + 40 * n
            name = data[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
            flags = struct.unpack_from("<I", data, header + 36)[0]
            self.sections.append((name, rva, max(vsize, raw_size), raw, flags))

    def section(self, rva):
        for section in self.sections:
            if section[1] <= rva < section[1] + section[2]:
                return section
        raise ValueError("RVA 0x%x lies in no section" % rva)

    def read(self, rva, size):
        _, start, _, raw, _ = self.section(rva)
        return self.data[raw + rva - start:raw + rva - start + size]

    def text(self, rva):
        _, start, _, raw, _ = self.section(rva)
        offset = raw + rva - start
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii", "replace")

    def descriptors(self, map_text):
        """The RVAs of the delay import descriptors."""
        if self.delay_rva:
            rva = self.delay_rva
            while any(self.read(rva, 16)):
                yield rva
                rva += 32
            return
        for address in re.findall(r"(?m)^\s+0x([0-9a-f]+)\s+_{1,2}DELAY_IMPORT_DESCRIPTOR_\S+$", map_text):
            yield int(address, 16) - self.base

    def delay_slots(self, map_text):
        """(library, slot name, RVA of the slot) for every slot the helper writes."""
        pointer = 8 if self.wide else 4
        for rva in self.descriptors(map_text):
            attributes, name, handle, table, names = struct.unpack("<5I", self.read(rva, 20))
            if not attributes & 1:  # addresses instead of RVAs
                name, handle, table, names = (v - self.base for v in (name, handle, table, names))
            library = self.text(name)
            yield library, "its handle", handle
            n = 0
            while int.from_bytes(self.read(names + n * pointer, pointer), "little"):
                yield library, "its address table", table + n * pointer
                n += 1


def helper_object(map_text):
    """The input file that the map names for the delay-load helper's definition."""
    lines = map_text.splitlines()
    for n, line in enumerate(lines):
        if re.fullmatch(r"\s+0x[0-9a-f]+\s+_{1,2}delayLoadHelper2(@8)?", line):
            for previous in reversed(lines[:n]):
                found = re.match(r"\s*(?:\S+\s+)?0x[0-9a-f]+\s+0x[0-9a-f]+\s+(\S.*)$", previous)
                if found:
                    return found.group(1)
    return None


def main(exe, map_file):
    name = exe.rsplit("/", 1)[-1]
    try:
        image = Image(open(exe, "rb").read())
        map_text = open(map_file).read()
        libraries, read_only = set(), {}
        for library, what, rva in image.delay_slots(map_text):
            libraries.add(library)
            section = image.section(rva)
            if not section[4] & WRITABLE:
                read_only.setdefault((library, what), section[0])
        helper = helper_object(map_text)
    except (OSError, ValueError, struct.error) as error:
        print("%s: the delay imports cannot be read: %s" % (name, error))
        return 2
    if not libraries:
        print("%s: no delay imports" % name)
        return 0
    ours = helper is not None and helper.endswith(PROJECT_HELPER)
    if read_only and not ours:
        for (library, what), section in sorted(read_only.items()):
            print("FAILED: %s: %s of %s lies in the read-only section %s, and the delay-load helper "
                  "linked in (%s) writes there: its first call would fault" % (name, what, library, section, helper))
        return 1
    where = ", ".join(sorted({"%s in %s" % (library, section) for (library, _), section in read_only.items()}))
    print("%s: %s bound by %s%s" % (
        name, ", ".join(sorted(libraries)), "the project's helper" if ours else helper,
        "; read-only slots: " + where if where else "; every slot writable"))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2].strip())
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))

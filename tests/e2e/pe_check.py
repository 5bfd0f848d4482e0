"""Reads kavelo.exe back: a PE32 console program for the 80386 that needs no
DLL beyond the system's, with its icon group and version record.

Arguments: kavelo.exe, and the project's version, MAJOR.MINOR.PATCH."""

import struct
import sys
import unittest

PROGRAM = None
VERSION = None  # (major, minor, patch)
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16


class PeFile:
    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        assert data[pe:pe + 4] == b"PE\0\0"
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        optional = pe + 24
        (self.magic,) = struct.unpack_from("<H", data, optional)
        (self.subsystem,) = struct.unpack_from("<H", data, optional + 68)
        directories = optional + 96
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from(
                "<8sIIII", data, table + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError("rva %#x in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, at)
            if fields == (0, 0, 0, 0, 0):
                return names
            names.append(self.string(fields[3]))
            at += 20

    def resources(self):
        """{(type, name): bytes} of the resource tree's leaves."""
        base_rva, _ = self.directories[2]
        base = self.offset(base_rva)
        found = {}

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield ident, target

        for type_id, type_target in entries(base):
            for name_id, name_target in entries(base + (type_target & 0x7FFFFFFF)):
                for _, leaf in entries(base + (name_target & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    at = self.offset(rva)
                    found[(type_id, name_id)] = self.data[at:at + size]
        return found


def version_blocks(data, at=0, end=None):
    """Walks a VS_VERSIONINFO tree: yields (key, value bytes, children)."""
    end = len(data) if end is None else end
    while at + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = data[value_at:value_at + value_size]
        children_at = (value_at + value_size + 3) & ~3
        children = list(version_blocks(data, children_at, at + length))
        yield key, value, children
        at = (at + length + 3) & ~3


class Executable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(PROGRAM, "rb") as f:
            cls.pe = PeFile(f.read())

    def test_pe32_console_program_for_the_80386(self):
        self.assertEqual(0x14C, self.pe.machine)   # IMAGE_FILE_MACHINE_I386
        self.assertEqual(0x10B, self.pe.magic)     # PE32, not PE32+
        self.assertEqual(3, self.pe.subsystem)     # console
        # IMAGE_FILE_LARGE_ADDRESS_AWARE: 4 GiB of address space on 64-bit
        # Windows rather than 2.
        self.assertTrue(self.pe.characteristics & 0x20)

    def test_needs_only_system_dlls(self):
        dlls = {name.lower() for name in self.pe.imported_dlls()}
        self.assertTrue(dlls, "no imports found")
        self.assertLessEqual(dlls, SYSTEM_DLLS)

    def test_icon_group_101_holds_32_and_16_pixel_images_of_16_colours(self):
        resources = self.pe.resources()
        group = resources[(RT_GROUP_ICON, 101)]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((0, 1, 2), (reserved, kind, count))
        sizes = set()
        for i in range(count):
            width, height, colours, _, planes, bits, size, ident = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual((16, 1, 4), (colours, planes, bits))
            image = resources[(RT_ICON, ident)]
            self.assertEqual(size, len(image))
            header_size, w, h, _, bit_count = struct.unpack_from("<IiiHH", image, 0)
            self.assertEqual((40, width, height * 2, 4), (header_size, w, h, bit_count))
            sizes.add((width, height))
        self.assertEqual({(32, 32), (16, 16)}, sizes)

    def test_version_record(self):
        versions = [v for (t, _), v in self.pe.resources().items() if t == RT_VERSION]
        self.assertEqual(1, len(versions))
        (key, fixed, children), = version_blocks(versions[0])
        self.assertEqual("VS_VERSION_INFO", key)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from(
            "<IIIIII", fixed, 0)
        self.assertEqual(0xFEEF04BD, signature)
        major, minor, patch = VERSION
        self.assertEqual((major << 16 | minor, patch << 16) * 2,
                         (file_ms, file_ls, product_ms, product_ls))
        blocks = {k: c for k, _, c in children}
        (table_key, _, strings), = blocks["StringFileInfo"]
        self.assertEqual("040904b0", table_key)
        values = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _ in strings}
        text = "%d, %d, %d, 0" % VERSION
        self.assertEqual(text, values["FileVersion"])
        self.assertEqual(text, values["ProductVersion"])
        self.assertEqual("kavelo.exe", values["OriginalFilename"])
        self.assertEqual("kavelo", values["ProductName"])
        self.assertTrue(values["FileDescription"])
        (translation_key, translation, _), = blocks["VarFileInfo"]
        self.assertEqual("Translation", translation_key)
        self.assertEqual((0x0409, 1200), struct.unpack("<HH", translation))


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    VERSION = tuple(int(part) for part in sys.argv.pop(1).split("."))
    unittest.main(verbosity=2)

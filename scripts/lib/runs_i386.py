"""Tells whether this machine runs 32-bit x86 programs: exit code 0 if it
does, 1 (with the reason) if it does not.

It runs one: a static i386 ELF of twelve bytes of code that exits with 42.
Asking a loader for its version proves nothing, as Debian's `wine` answers
through its 64-bit half; a kernel with 32-bit emulation switched off
refuses every i386 program, even /lib/ld-linux.so.2, with "Exec format
error".
"""

import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
# mov ebx, 42; mov eax, 1 (exit); int 0x80
CODE = bytes.fromhex("bb2a000000" "b801000000" "cd80")


def elf32():
    header_size, segment_size = 52, 32
    entry = BASE + header_size + segment_size
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, header_size,
                                 0, 0, header_size, segment_size, 1, 0, 0, 0)
    size = header_size + segment_size + len(CODE)
    segment = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)
    return header + segment + CODE


def main():
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "probe")
        with open(path, "wb") as f:
            f.write(elf32())
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], timeout=30).returncode
        except (OSError, subprocess.TimeoutExpired) as error:
            print("this machine runs no 32-bit x86 program: %s" % error)
            return 1
    if code != 42:
        print("a 32-bit x86 program ended with %d, not 42" % code)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

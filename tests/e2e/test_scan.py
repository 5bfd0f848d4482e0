"""The scan end to end: command line, walk, records and the database file."""

import os
import shutil
import subprocess
import time
import unittest

import harness
from harness import Case, Database, encode_record

USAGE = (b"kavelo v%s\nusage: kavelo [-LXYZ | -L1] [-D dbfile] [-Tc creator] "
         b"[-Td description] [-Q] [-H]\n\tparameters:\n\t -LXYZ:  check X:,Y: "
         b"and Z: drives\n\t -L1:    check all local hard drives\n\t -D:     "
         b"set database file\n\t -Tc:    set creator\n\t -Td:    set "
         b"description\n\t -Q:     quiet mode\n\t -H:     help, this screen")


class DatabaseFile(Case):
    def test_empty_drive_gives_seventeen_bytes(self):
        root = self.make_tree("c", {})
        before = int(time.time())
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        after = int(time.time())
        self.assert_ok(result)
        data = self.read()
        self.assertEqual(17, len(data))
        self.assertEqual(b"VANTOREX\x04\0\0K\0", data[:13])
        self.assertTrue(before <= Database(data).time <= after)

    def test_record_bytes_for_root_and_subdirectory_files(self):
        # C: under Wine is its own system drive.
        letter = "C" if self.runner.name == "native" else "K"
        root = self.make_tree("c", {"a.txt": b"hello", "Docs/a.txt": b"0123456789"})
        self.set_times(os.path.join(root, "a.txt"), 1300000000, 1300000100)
        self.set_times(os.path.join(root, "Docs", "a.txt"), 1400000000, 1400000200)
        result = self.kavelo(["-L" + letter, "-D", self.db_arg()],
                             {letter: ("fixed", root)})
        self.assert_ok(result)
        records = self.read()[17:]
        first = encode_record(letter.encode() + b":\\a.txt", 1300000000,
                              self.birth_time(os.path.join(root, "a.txt")),
                              1300000100, 5)
        second = encode_record(letter.encode() + b":\\Docs\\a.txt", 1400000000,
                               self.birth_time(os.path.join(root, "Docs", "a.txt")),
                               1400000200, 10)
        self.assertIn(records, (first + second, second + first))

    def test_hidden_names_and_empty_directories(self):
        root = self.make_tree("c", {
            ".profile": b"x", ".cache/inside.txt": b"x", "Docs/.hidden": b"x",
            "Docs/seen.txt": b"x", "empty": None, "deep/er/est": None})
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual([b"K:\\Docs\\seen.txt"], self.database().paths())

    def test_drive_given_twice_is_walked_twice(self):
        c = self.make_tree("c", {"one.txt": b"1"})
        d = self.make_tree("d", {"two.txt": b"22"})
        result = self.kavelo(["-Lkdk", "-D", self.db_arg()],
                             {"K": ("fixed", c), "D": ("fixed", d)})
        self.assert_ok(result)
        db = self.database()
        self.assertEqual(b"KDK", db.letters)
        self.assertEqual([b"K:\\one.txt", b"D:\\two.txt", b"K:\\one.txt"], db.paths())

    def test_no_drive_found_writes_nothing(self):
        c = self.make_tree("c", {"one.txt": b"1"})
        result = self.kavelo(["-L", "QX9", "-D", self.db_arg()], {"K": ("fixed", c)})
        self.assertEqual((4, b"", b""), (result.returncode, result.stdout, result.stderr))
        self.assertFalse(os.path.exists(self.path("files.dbs")))

    def test_several_blocks_reach_the_file_whole(self):
        # 4000 records of 220 bytes need three blocks of 350000 bytes.
        names = ["%04d" % i + "n" * 194 for i in range(4000)]
        root = self.make_tree("c", {"d/" + n: b"" for n in names})
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        data = self.read()
        db = Database(data)
        self.assertEqual(sorted(b"K:\\d\\" + n.encode() for n in names),
                         sorted(db.paths()))
        self.assertEqual(17 + 4000 * 220, len(data))

    def test_tree_over_the_memory_budget(self):
        # 12 000 records of 220 bytes fill eight blocks, of which a run holds
        # five: the rest wait in the database file.  Q names no drive, so the
        # header written when the first block went to the disk names one
        # letter too many, and the records move behind the right one.
        names = ["%05d" % i + "n" * 193 for i in range(12000)]
        root = self.make_tree("c", {"d/" + n: b"" for n in names})
        first = None
        for letters in ("K", "KQK"):
            for threads in ("0", "2"):
                result = self.kavelo(["-L" + letters, "-D", self.db_arg()],
                                     {"K": ("fixed", root)},
                                     env={"KAVELO_THREADS": threads})
                self.assert_ok(result)
                data = self.read()
                db = Database(data)
                walks = letters.count("K")
                self.assertEqual(b"K" * walks, db.letters)
                self.assertEqual(16 + walks + walks * 12000 * 220, len(data))
                if first is None:
                    first = db.paths()
                    self.assertEqual(sorted(b"K:\\d\\" + n.encode() for n in names),
                                     sorted(first))
                self.assertEqual(first * walks, db.paths(), (letters, threads))
                self.assert_no_leftovers()
        if self.runner.name == "native":
            # Written in place: the records wait in a scratch file instead.
            result = self.kavelo(["-LKQK", "-D", "/dev/stdout"], {"K": ("fixed", root)})
            self.assertEqual((0, b""), (result.returncode, result.stderr))
            self.assertEqual(first * 2, Database(result.stdout).paths())

    def test_existing_longer_file_is_replaced(self):
        root = self.make_tree("c", {})
        with open(self.path("files.dbs"), "wb") as f:
            f.write(b"old" * 1000)
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual(17, len(self.read()))
        self.assert_no_leftovers()

    def test_missing_directory_is_reported_after_the_scan(self):
        root = self.make_tree("c", {"a": b"1"})
        target = self.db_arg(os.path.join("missing", "files.dbs"))
        result = self.kavelo(["-LK", "-D", target], {"K": ("fixed", root)})
        self.assertEqual(1, result.returncode)
        self.assertEqual(self.text(b"Cannot create file " + target.encode() + b".\n"),
                         result.stderr)
        self.assertEqual(["c"], os.listdir(self.tmp))

    def test_directory_named_like_the_database(self):
        root = self.make_tree("c", {"a": b"1"})
        os.mkdir(self.path("files.dbs"))
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assertEqual(1, result.returncode)
        self.assertEqual(self.text(b"Cannot create file " + self.db_arg().encode() + b".\n"),
                         result.stderr)
        self.assertEqual([], os.listdir(self.path("files.dbs")))
        self.assert_no_leftovers()


class CommandLine(Case):
    def test_help_among_other_options_prints_only_usage(self):
        root = self.make_tree("c", {})
        for args in (["-H"], ["-LK", "-D", self.db_arg(), "/h", "-Q"], ["-Help"]):
            result = self.kavelo(args, {"K": ("fixed", root)})
            usage = USAGE % harness.VERSION.encode()
            self.assertEqual((1, b"", self.text(usage)),
                             (result.returncode, result.stdout, result.stderr))
        self.assertFalse(os.path.exists(self.path("files.dbs")))

    def test_option_spellings(self):
        c = self.make_tree("c", {"c.txt": b""})
        d = self.make_tree("d", {"d.txt": b""})
        drives = {"K": ("fixed", c), "D": ("fixed", d)}
        cases = [
            (["-lkd"], b"KD", b"", b""),
            (["/L", "dk", "/Q"], b"DK", b"", b""),
            (["-Quiet", "-Lk", "-TcNightly"], b"K", b"Nightly", b""),
            (["-Tc", "Nightly", "-Td", "All files", "-LK"], b"K", b"Nightly", b"All files"),
            (["-Tx", "Nightly", "-LK"], b"K", b"", b""),
            (["-LK", "Nightly", "-TcFirst", "-Tc"], b"K", b"", b""),
        ]
        for args, letters, creator, description in cases:
            result = self.kavelo(args + ["-D", self.db_arg()], drives)
            self.assert_ok(result)
            db = self.database()
            self.assertEqual((letters, creator, description),
                             (db.letters, db.creator, db.description), args)

    def test_one_means_every_fixed_drive(self):
        c = self.make_tree("c", {"c.txt": b""})
        d = self.make_tree("d", {"d.txt": b""})
        e = self.make_tree("e", {"e.txt": b""})
        result = self.kavelo(["-L1", "-D", self.db_arg()],
                             {"K": ("fixed", c), "D": ("cdrom", d), "E": ("fixed", e)})
        self.assert_ok(result)
        self.assertEqual(b"EK", self.database().letters)  # alphabetical

    def test_overlong_drive_letters(self):
        root = self.make_tree("c", {})
        for args in (["-L" + "K" * 40], ["-L", "K" * 40]):
            result = self.kavelo(args + ["-D", self.db_arg()], {"K": ("fixed", root)})
            self.assertEqual(1, result.returncode)
            self.assertEqual(self.text(b"Drive specification " + b"K" * 40 +
                                       b" is longer than 39 characters.\n"),
                             result.stderr)
            self.assertFalse(os.path.exists(self.path("files.dbs")))
        result = self.kavelo(["-L" + "K" * 39, "-D", self.db_arg()],
                             {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual(b"K" * 39, self.database().letters)

    def test_overlong_database_path(self):
        root = self.make_tree("c", {})
        path = self.db_arg() + "x" * 260
        result = self.kavelo(["-LK", "-D", path], {"K": ("fixed", root)})
        self.assertEqual((1, self.text(b"Cannot create file " + path.encode() + b".\n")),
                         (result.returncode, result.stderr))
        self.assertEqual(["c"], os.listdir(self.tmp))

    def test_value_missing_after_last_option_takes_the_defaults(self):
        # The default database lies beside the program; "1" walks every fixed
        # drive.
        root = self.make_tree("c", {"a": b""})
        program = self.runner.copy_program(self.path("bin"))
        for last in ("-L", "-D"):
            result = self.kavelo(["-Q", last], {"K": ("fixed", root)},
                                 program=program)
            self.assert_ok(result)
            db = self.database(os.path.join("bin", "FILES.DBS"))
            self.assertEqual(b"K", db.letters)
            os.remove(self.path("bin", "FILES.DBS"))


class Drives(Case):
    def test_drive_table_errors_stop_the_run(self):
        if self.runner.name != "native":
            self.skipTest("the drive table belongs to the POSIX port")
        table = self.path("drives")
        with open(table, "w") as f:
            f.write("C fixed %s\nD floppy /x\n" % self.tmp)
        result = self.kavelo(["-LK", "-D", self.db_arg()], {},
                             env={"KAVELO_DRIVES": table})
        self.assertEqual(1, result.returncode)
        self.assertEqual(("Drive table %s, line 2: unknown drive type \"floppy\" "
                          "(removable, fixed, remote, cdrom or ramdisk).\n" % table
                          ).encode(), result.stderr)
        self.assertFalse(os.path.exists(self.path("files.dbs")))
        # A file name that would drive the terminal is shown escaped.
        missing = self.path("drives\x1b[2J")
        result = self.kavelo(["-LK", "-D", self.db_arg()], {},
                             env={"KAVELO_DRIVES": missing})
        self.assertEqual((1, ("Cannot read drive table %s\\x1b[2J: No such file "
                              "or directory.\n" % self.path("drives")).encode()),
                         (result.returncode, result.stderr))

    def test_drive_not_ready_is_skipped_quietly(self):
        if not self.runner.can_make_drive_not_ready:
            self.skipTest("Wine reports every configured removable drive as ready")
        c = self.make_tree("c", {"a": b""})
        missing = self.path("no-disc")
        ready = self.make_tree("f", {"f.txt": b""})
        result = self.kavelo(["-LKAF", "-Q", "-D", self.db_arg()],
                             {"K": ("fixed", c), "A": ("removable", missing),
                              "F": ("remote", ready)})
        self.assert_ok(result)
        self.assertEqual(b"", result.stdout)
        self.assertEqual(b"KF", self.database().letters)

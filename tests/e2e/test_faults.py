"""Limits and failures: long paths, loops, failed writes, odd targets."""

import os
import subprocess
import unittest

from harness import Case, Database


class LongPaths(Case):
    def test_level_buffer_limits(self):
        # Paths the program sees: `K:` plus the relative part with `\`.
        # A directory is searched through `dir\*.*`, which must fit 259
        # characters; a file's record has room for longer paths.
        a, b = "a" * 120, "b" * 120  # K:\a\b is 244 characters
        fits = "f" * 11               # K:\a\b\f...: 256, pattern 260: left out
        edge = "e" * 10               # 255 characters, pattern 259: entered
        long_file = "l" * 200         # a record path of 446 characters
        root = self.make_tree("c", {
            "%s/%s/%s/inside.txt" % (a, b, fits): b"",
            "%s/%s/%s/inside.txt" % (a, b, edge): b"",
            "%s/%s/%s" % (a, b, long_file): b"x",
        })
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        prefix = ("K:\\%s\\%s\\" % (a, b)).encode()
        self.assertEqual(sorted([prefix + edge.encode() + b"\\inside.txt",
                                 prefix + long_file.encode()]),
                         sorted(self.database().paths()))


class Loops(Case):
    def test_links_back_to_ancestors_are_not_entered(self):
        root = self.make_tree("c", {"top.txt": b"", "a/in_a.txt": b"",
                                    "a/b/in_b.txt": b"", "other/o.txt": b""})
        os.symlink(root, os.path.join(root, "a", "b", "to_root"))
        os.symlink(os.path.join(root, "a"), os.path.join(root, "a", "b", "to_a"))
        os.symlink(os.path.join(root, "a", "b"), os.path.join(root, "a", "b", "self"))
        # A link elsewhere is walked: its files are found by both paths.
        os.symlink(os.path.join(root, "other"), os.path.join(root, "a", "to_other"))
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual(sorted([b"K:\\top.txt", b"K:\\a\\in_a.txt",
                                 b"K:\\a\\b\\in_b.txt", b"K:\\other\\o.txt",
                                 b"K:\\a\\to_other\\o.txt"]),
                         sorted(self.database().paths()))

    def test_loop_through_two_links_ends(self):
        root = self.make_tree("c", {"x/x.txt": b"", "y/y.txt": b""})
        os.symlink(os.path.join(root, "y"), os.path.join(root, "x", "to_y"))
        os.symlink(os.path.join(root, "x"), os.path.join(root, "y", "to_x"))
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual(sorted([b"K:\\x\\x.txt", b"K:\\y\\y.txt",
                                 b"K:\\x\\to_y\\y.txt", b"K:\\y\\to_x\\x.txt"]),
                         sorted(self.database().paths()))


    def test_links_that_fan_out_enter_each_directory_once(self):
        # d0 to d14, each holding two links to the next: followed every time,
        # d14's file would be found 2^14 times.  The drive is d0 alone.
        levels = 15
        tree = {"d%d" % i: None for i in range(levels)}
        tree["d%d/end.txt" % (levels - 1)] = b"e"
        base = self.make_tree("t", tree)
        for i in range(levels - 1):
            for link in ("x", "y"):
                os.symlink(os.path.join(base, "d%d" % (i + 1)),
                           os.path.join(base, "d%d" % i, link))
        result = self.kavelo(["-LK", "-D", self.db_arg()],
                             {"K": ("fixed", os.path.join(base, "d0"))})
        self.assert_ok(result)
        paths = self.database().paths()
        self.assertEqual(1, len(paths), paths[:4])
        self.assertRegex(paths[0], rb"^K:(\\[xy]){14}\\end\.txt$")


class FailedWrites(Case):
    def native_only(self):
        if self.runner.name != "native":
            self.skipTest("needs POSIX resource limits and devices")

    def test_write_failure_keeps_the_earlier_database(self):
        self.native_only()
        root = self.make_tree("c", {"f%04d" % i: b"" for i in range(3000)})
        earlier = b"earlier database" * 10
        with open(self.path("files.dbs"), "wb") as f:
            f.write(earlier)
        # 16 KiB is far less than the records need; SIGXFSZ ignored turns the
        # limit into a failing write.
        wrapper = ["bash", "-c", 'ulimit -f 16; trap "" XFSZ; exec "$@"', "kavelo"]
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)},
                             wrapper=wrapper)
        self.assertEqual((2, b"Cannot write to file " + self.db_arg().encode() + b".\n"),
                         (result.returncode, result.stderr))
        self.assertEqual(earlier, self.read())
        self.assert_no_leftovers()

    def test_device_targets_are_written_in_place(self):
        self.native_only()
        root = self.make_tree("c", {"a.txt": b"abc"})
        result = self.kavelo(["-LK", "-D", "/dev/stdout"], {"K": ("fixed", root)})
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertEqual([b"K:\\a.txt"], Database(result.stdout).paths())

        result = self.kavelo(["-LK", "-D", "/dev/full"], {"K": ("fixed", root)})
        self.assertEqual((2, b"Cannot write to file /dev/full.\n"),
                         (result.returncode, result.stderr))

    def test_fifo_is_written_in_place(self):
        self.native_only()
        root = self.make_tree("c", {"a.txt": b"abc"})
        fifo = self.path("pipe")
        os.mkfifo(fifo)
        reader = subprocess.Popen(["cat", fifo], stdout=subprocess.PIPE)
        result = self.kavelo(["-LK", "-D", fifo], {"K": ("fixed", root)})
        data = reader.communicate(timeout=60)[0]
        self.assert_ok(result)
        self.assertEqual([b"K:\\a.txt"], Database(data).paths())


class KernelFileSystems(Case):
    def test_virtual_file_system_mounts_are_not_entered(self):
        if self.runner.name != "native":
            self.skipTest("mount namespaces are a Linux matter")
        root = self.make_tree("c", {"proc": None, "kept/k.txt": b""})
        probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no mount namespace here: %r" % probe.stderr)
        wrapper = ["unshare", "-m", "sh", "-c",
                   'mount -t proc proc "$0/proc" && exec "$@"', root]
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)},
                             wrapper=wrapper)
        self.assert_ok(result)
        self.assertEqual([b"K:\\kept\\k.txt"], self.database().paths())

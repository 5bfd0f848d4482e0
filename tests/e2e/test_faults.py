"""Limits and failures: long paths, loops, failed writes, odd targets."""

import os
import re
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
        # 16 KiB is far less than the records need.  The limit is a failing
        # write, whether SIGXFSZ comes ignored or at its default, which would
        # end the run.
        for trap in ('trap "" XFSZ; ', ""):
            wrapper = ["bash", "-c", 'ulimit -f 16; %sexec "$@"' % trap, "kavelo"]
            result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)},
                                 wrapper=wrapper)
            self.assertEqual((2, b"Cannot write to file " + self.db_arg().encode() + b".\n"),
                             (result.returncode, result.stderr), trap)
            self.assertEqual(earlier, self.read())
            self.assert_no_leftovers()
        # A database named as a temporary file is no run's leftover.
        named = self.path(".kv7-7.tmp")
        os.rename(self.path("files.dbs"), named)
        result = self.kavelo(["-LK", "-D", named], {"K": ("fixed", root)}, wrapper=wrapper)
        self.assertEqual(2, result.returncode, result)
        self.assertEqual([".kv7-7.tmp", "c"], sorted(os.listdir(self.tmp)))
        self.assertEqual(earlier, self.read(".kv7-7.tmp"))

    def test_device_targets_are_written_in_place(self):
        self.native_only()
        root = self.make_tree("c", {"a.txt": b"abc"})
        result = self.kavelo(["-LK", "-D", "/dev/stdout"], {"K": ("fixed", root)})
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertEqual([b"K:\\a.txt"], Database(result.stdout).paths())

        result = self.kavelo(["-LK", "-D", "/dev/full"], {"K": ("fixed", root)})
        self.assertEqual((2, b"Cannot write to file /dev/full.\n"),
                         (result.returncode, result.stderr))

    def test_descriptor_names_write_through_the_descriptor(self):
        # `kavelo -D /dev/stdout >> log`: the log keeps its lines, and the
        # database follows them, whatever names the descriptor.
        self.native_only()
        root = self.make_tree("c", {"a.txt": b"abc"})
        log = self.path("log.txt")
        os.symlink("/dev/stdout", self.path("out"))
        for name, descriptor in (("/dev/stdout", 1), ("/dev/stderr", 2), ("/dev/fd/5", 5),
                                 ("/proc/self/fd/1", 1), (self.path("out"), 1)):
            earlier = b"line 1\nline 2\n"
            with open(log, "wb") as f:
                f.write(earlier)
            wrapper = ["sh", "-c", 'log=$1; shift; exec "$@" %d>>"$log"' % descriptor, "sh", log]
            result = self.kavelo(["-LK", "-D", name], {"K": ("fixed", root)}, wrapper=wrapper)
            self.assertEqual((0, b""), (result.returncode, result.stderr), name)
            data = self.read("log.txt")
            self.assertEqual(earlier, data[:len(earlier)], name)
            self.assertEqual([b"K:\\a.txt"], Database(data[len(earlier):]).paths(), name)
        self.assertEqual(["c", "log.txt", "out"], sorted(os.listdir(self.tmp)))

    def spilling_tree(self):
        """A tree whose records pass the memory budget: 9000 of 220 bytes."""
        return self.make_tree("big", {"%04d" % i + "n" * 196: b"" for i in range(9000)})

    def test_descriptor_not_open_is_not_the_spill(self):
        # The records that spill wait in a scratch file, which must not take
        # the number that -D names: the database would go into it.
        self.native_only()
        drives = {"K": ("fixed", self.spilling_tree())}
        for threads in ("0", "2"):
            for number in range(3, 9):
                name = "/dev/fd/%d" % number
                result = self.kavelo(["-LK", "-D", name], drives,
                                     env={"KAVELO_THREADS": threads})
                self.assertEqual((1, b"Cannot create file " + name.encode() + b".\n"),
                                 (result.returncode, result.stderr), (threads, number))

    def test_size_limit_does_not_end_a_spill_to_a_device(self):
        # The scratch file of a database written to a pipe is a file as any
        # other: past the size limit its writes fail, and the records wait in
        # memory instead.
        self.native_only()
        root = self.spilling_tree()
        whole = self.kavelo(["-LK", "-D", "/dev/stdout"], {"K": ("fixed", root)})
        self.assertEqual(0, whole.returncode)
        wrapper = ["bash", "-c", 'ulimit -f 16; exec "$@"', "kavelo"]
        result = self.kavelo(["-LK", "-D", "/dev/stdout"], {"K": ("fixed", root)},
                             wrapper=wrapper)
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertEqual(Database(whole.stdout).paths(), Database(result.stdout).paths())

    def test_spilled_records_that_cannot_be_read_back(self):
        # Records that waited on the disk are read back as the database is
        # finished: from the scratch file of a database written to a device,
        # and within the file itself when a drive that its first header
        # named is left out (A, not ready).  A read that fails fails the
        # write; what was read before it is no database.
        self.native_only()
        drives = {"K": ("fixed", self.spilling_tree()),
                  "A": ("removable", self.path("no-disc"))}
        earlier = b"an earlier database"
        with open(self.path("files.dbs"), "wb") as f:
            f.write(earlier)
        for target in ("/dev/stdout", self.db_arg()):
            result = self.kavelo(["-LKA", "-Q", "-D", target], drives,
                                 env=self.fault_shim(FAILED_READ=1))
            self.assertEqual((2, b"Cannot write to file " + target.encode() + b".\n"),
                             (result.returncode, result.stderr), target)
        self.assertEqual(earlier, self.read())
        self.assert_no_leftovers()

    def test_named_scratch_file_goes_at_once(self):
        # Where the temporary directory's file system makes no nameless
        # files, the scratch file has a name for a moment only.
        self.native_only()
        scratch = self.path("scratch")
        os.mkdir(scratch)
        env = dict(self.fault_shim(NO_TMPFILE=1), TMPDIR=scratch)
        result = self.kavelo(["-LK", "-D", "/dev/stdout"],
                             {"K": ("fixed", self.spilling_tree())}, env=env)
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertEqual(9000, len(Database(result.stdout).paths()))
        self.assertEqual([], os.listdir(scratch))

    def test_spill_leaves_the_walk_a_descriptor(self):
        # Five descriptors, three of them the standard streams': the spill's
        # file and its lock (or a device's own descriptor and the scratch
        # file) would take the last two, and the walk of L would find none.
        # The records then wait in memory instead, and L is walked.
        self.native_only()
        drives = {"K": ("fixed", self.spilling_tree()),
                  "L": ("fixed", self.make_tree("l", {"sub/l.txt": b"l"}))}
        whole = self.kavelo(["-LKL", "-D", self.db_arg("whole.dbs")], drives)
        self.assert_ok(whole)
        expected = self.database("whole.dbs")
        self.assertEqual(b"KL", expected.letters)
        wrapper = ["bash", "-c", 'ulimit -n 5; exec "$@"', "kavelo"]
        for threads in ("0", "2"):
            for target in (self.db_arg(), "/dev/stdout"):
                result = self.kavelo(["-LKL", "-D", target], drives, wrapper=wrapper,
                                     env={"KAVELO_THREADS": threads})
                self.assertEqual((0, b""), (result.returncode, result.stderr),
                                 (threads, target))
                db = self.database() if target == self.db_arg() else Database(result.stdout)
                self.assertEqual(b"KL", db.letters, (threads, target))
                self.assertTrue(expected.paths() == db.paths(), (threads, target))
        self.assert_no_leftovers()

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


class InjectedFaults(Case):
    """Failures the system reports at one call of a run, injected with strace:
    the run is traced once to number its calls, then repeated with call N
    failing, for every call of interest.  The same program over the same tree
    makes the same calls, so the numbers hold."""

    TREE = {"top.txt": b"t", "a/f.txt": b"f", "a/b/g.txt": b"g",
            "a/b/h.txt": b"h", "c/i.txt": b"i", "c/d/e/j.txt": b"j",
            "empty": None}

    def setUp(self):
        super().setUp()
        self.require_strace()
        self.root = self.make_tree("k", self.TREE)
        self.drives = {"K": ("fixed", self.root)}
        self.log = self.path("trace.log")
        self.calls = {}

    def run_traced(self, syscall, inject=None):
        """Runs over drive K with `syscall` traced (and `inject`, an strace
        injection); returns the result and the traced calls."""
        wrapper = ["strace", "-qq", "-y", "-o", self.log, "-e", "trace=" + syscall]
        if inject:
            wrapper += ["-e", "inject=%s:%s" % (syscall, inject)]
        # LeakSanitizer cannot run under a tracer.  The calls are numbered
        # in one thread's order: the serial walk's (strace follows only the
        # first thread, and read-ahead workers would reorder the calls).
        result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives,
                             wrapper=wrapper, env={"ASAN_OPTIONS": "detect_leaks=0",
                                                   "KAVELO_THREADS": "0"})
        with open(self.log) as f:
            calls = [l for l in f.read().splitlines() if l.startswith(syscall + "(")]
        os.remove(self.log)
        return result, calls

    def drive_path(self, native):
        self.assertTrue(native == self.root or native.startswith(self.root + "/"))
        return ("K:" + native[len(self.root):].replace("/", "\\")).encode()

    def without(self, paths, gone):
        """`paths` less the entry `gone` (a drive path) and all below it."""
        return [p for p in paths if p != gone and not p.startswith(gone + b"\\")]

    def numbered(self, syscall, pattern):
        """The numbers of the calls of `syscall` in a clean run that match
        `pattern`, each with the match's first group."""
        clean, calls = self.run_traced(syscall)
        self.assert_ok(clean)
        self.full = self.database().paths()
        self.assertEqual(6, len(self.full))
        chosen = [(n + 1, m.group(1)) for n, m in
                  enumerate(re.match(pattern, c) for c in calls) if m]
        self.assertTrue(chosen, calls)
        return chosen

    def each_failure(self, syscall, pattern, error):
        """For every traced call of `syscall` matching `pattern` (a regular
        expression whose first group is the native path concerned), yields
        that path and the result and database of the run where it fails."""
        chosen = self.numbered(syscall, pattern)
        for number, native in chosen:
            os.remove(self.path("files.dbs"))
            result, _ = self.run_traced(syscall, "error=%s:when=%d" % (error, number))
            self.assert_ok(result)
            yield native, result, self.database()
        self.calls[syscall] = len(chosen)

    def test_entries_that_vanish_between_read_and_lookup(self):
        for directory_and_name, result, db in self.each_failure(
                "statx", r'statx\(\d+<(.*?>, "[^"]*)"', "ENOENT"):
            directory, name = directory_and_name.split('>, "')
            gone = self.drive_path(os.path.join(directory, name))
            self.assertEqual(b"K", db.letters)
            self.assertEqual(self.without(self.full, gone), db.paths(), gone)

    def test_directories_removed_replaced_or_unreadable(self):
        # A directory is opened by its whole path, or by its name relative
        # to the open parent (`3</k/a>, "b"`).
        pattern = r'openat\((?:AT_FDCWD<[^>]*>, "|\d+<)(%s[^"]*(?:>, "[^"]*)?)", \S*O_DIRECTORY' % (
            re.escape(self.root))
        # Each error in turn; the root's own failure leaves the drive empty.
        for kind in ("ENOENT", "ENOTDIR", "EACCES"):
            for native, result, db in self.each_failure("openat", pattern, kind):
                native = os.path.join(*native.split('>, "'))
                gone = self.drive_path(native)
                expected = [] if native == self.root else self.without(self.full, gone)
                self.assertEqual(b"K", db.letters)
                self.assertEqual(expected, db.paths(), (kind, gone))
        self.assertEqual(7, self.calls["openat"])

    def test_directory_reads_that_fail(self):
        # The drive's directories only: the listing of the database's own
        # directory, for temporary files that killed runs left, is no walk.
        pattern = r'getdents64\(\d+<(%s(?:/[^>]*)?)>, .* = [1-9]\d*$' % re.escape(self.root)
        for native, result, db in self.each_failure("getdents64", pattern, "EIO"):
            gone = self.drive_path(native)
            expected = [] if native == self.root else self.without(self.full, gone)
            self.assertEqual(expected, db.paths(), gone)

    def test_creating_and_renaming_the_database_fail_once(self):
        # Each write, the flush and the close fail in test_replace.
        target = self.db_arg()
        temporary = re.escape(os.path.dirname(target)) + r"/\.kv\d+-[0-9a-f]{16}\.tmp"
        cannot_create = b"Cannot create file %s.\n" % target.encode()
        steps = [
            ("openat", r'openat\(AT_FDCWD<[^>]*>, "(%s)"' % temporary, "EACCES",
             1, cannot_create),
            ("rename", r'rename\("(%s)"' % temporary, "EXDEV", 1, cannot_create),
        ]
        earlier = b"an earlier database"
        points = 0
        for syscall, pattern, error, code, message in steps:
            for number, _ in self.numbered(syscall, pattern):
                with open(self.path("files.dbs"), "wb") as f:
                    f.write(earlier)
                result, _ = self.run_traced(syscall, "error=%s:when=%d" % (error, number))
                self.assertEqual((code, message), (result.returncode, result.stderr),
                                 (syscall, number))
                self.assertEqual(earlier, self.read())
                self.assert_no_leftovers()
                points += 1
        self.assertEqual(2, points)

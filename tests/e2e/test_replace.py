"""Replacing the database: the path holds an earlier database or one run's
whole new one, whatever fails, races or interrupts the run, and nothing but
the path and the run's own temporary file is touched."""

import fcntl
import os
import re
import select
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import harness
from harness import Case, Database, registry_file

EARLIER = b"an earlier database" * 20


class Replacement(Case):
    def setUp(self):
        super().setUp()
        self.root = self.make_tree("c", {"a.txt": b"a", "d/b.txt": b"bb"})
        self.drives = {"K": ("fixed", self.root)}

    def native_only(self, why):
        if self.runner.name != "native":
            self.skipTest(why)

    def write_earlier(self, name="files.dbs"):
        with open(self.path(name), "wb") as f:
            f.write(EARLIER)

    def assert_written(self, result, name="files.dbs"):
        self.assert_ok(result)
        self.assertEqual([b"K:\\a.txt", b"K:\\d\\b.txt"],
                         sorted(self.database(name).paths()))

    def assert_cannot_create(self, result, shown):
        self.assertEqual(
            (1, self.text(b"Cannot create file " + shown.encode() + b".\n")),
            (result.returncode, result.stderr))

    def test_files_named_like_a_temporary_file_are_left_alone(self):
        self.write_earlier()
        with open(self.path("files.dbs.tmp"), "wb") as f:
            f.write(b"the user's own")
        self.assert_written(self.kavelo(["-LK", "-D", self.db_arg()], self.drives))
        self.assertEqual(b"the user's own", self.read("files.dbs.tmp"))
        self.assertEqual(["c", "files.dbs", "files.dbs.tmp"], sorted(os.listdir(self.tmp)))
        if self.runner.name != "native":
            return
        os.remove(self.path("files.dbs.tmp"))
        with open(self.path("victim"), "wb") as f:
            f.write(b"not kavelo's")
        os.symlink("victim", self.path("files.dbs.tmp"))
        self.assert_written(self.kavelo(["-LK", "-D", self.db_arg()], self.drives))
        self.assertEqual("victim", os.readlink(self.path("files.dbs.tmp")))
        self.assertEqual(b"not kavelo's", self.read("victim"))

    def test_path_of_259_characters(self):
        # Given with -D, then stored: the creatability test passes it, so the
        # write must succeed too, however long its temporary name.
        directory = self.path("d" * 100)
        os.mkdir(directory)
        prefix = len(self.runner.program_path(directory)) + 1
        host = os.path.join(directory, "n" * (259 - prefix))
        shown = self.runner.program_path(host)
        self.assertEqual(259, len(shown))
        for earlier in (False, True):
            if earlier:
                self.write_earlier(host)
            result = self.kavelo(["-LK", "-D", shown], self.drives)
            self.assert_written(result, host)
        os.remove(host)
        program = self.runner.copy_program(self.path("bin"))
        result = self.kavelo(["-LK"], self.drives, program=program,
                             registry=registry_file({"DatabaseFile": shown}))
        self.assert_written(result, host)
        self.assertEqual([os.path.basename(program)], os.listdir(self.path("bin")))
        self.assert_no_leftovers()

    def test_stored_directory_gives_the_default(self):
        # A directory cannot be replaced, so it fails the creatability test.
        os.mkdir(self.path("stored"))
        program = self.runner.copy_program(self.path("bin"))
        registry = registry_file({"DatabaseFile": self.runner.program_path(self.path("stored"))})
        self.assert_written(self.kavelo(["-LK"], self.drives, program=program,
                                        registry=registry), os.path.join("bin", "FILES.DBS"))
        self.assertEqual([], os.listdir(self.path("stored")))
        self.assert_no_leftovers()

    def test_permission_bits_and_owner_are_kept(self):
        self.native_only("POSIX permission bits and owners")
        owner = os.getuid() == 0
        for mode in (0o600, 0o640, 0o444, 0o2755):
            self.write_earlier()
            if owner:
                os.chown(self.path("files.dbs"), 4321, 4322)
            os.chmod(self.path("files.dbs"), mode)  # after: chown clears set-ID bits
            self.assert_written(self.kavelo(["-LK", "-D", self.db_arg()], self.drives))
            info = os.stat(self.path("files.dbs"))
            self.assertEqual(oct(mode), oct(stat.S_IMODE(info.st_mode)))
            if owner:
                self.assertEqual((4321, 4322), (info.st_uid, info.st_gid))
            os.remove(self.path("files.dbs"))
        # A new database gets the ordinary mode, the umask applied.
        umask = ["sh", "-c", 'umask 027 && exec "$@"', "sh"]
        result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives, wrapper=umask)
        self.assert_written(result)
        self.assertEqual(oct(0o640), oct(stat.S_IMODE(os.stat(self.path("files.dbs")).st_mode)))

    def test_symbolic_links(self):
        self.native_only("symbolic links as POSIX makes them")
        os.mkdir(self.path("data"))
        link = self.path("files.dbs")

        def run():
            return self.kavelo(["-LK", "-D", link], self.drives)

        def make_link(target, at=link):
            if os.path.lexists(at):
                os.remove(at)
            os.symlink(target, at)

        # A link to a file, directly or through another link, is written
        # through: the file is replaced, the links stay.
        self.write_earlier(os.path.join("data", "real.dbs"))
        make_link(os.path.join("data", "real.dbs"))
        self.assert_written(run(), os.path.join("data", "real.dbs"))
        self.assertEqual(os.path.join("data", "real.dbs"), os.readlink(link))
        make_link(self.path("data", "link.dbs"))
        make_link("real.dbs", self.path("data", "link.dbs"))
        self.write_earlier(os.path.join("data", "real.dbs"))
        self.assert_written(run(), os.path.join("data", "real.dbs"))
        self.assertTrue(os.path.islink(self.path("data", "link.dbs")))
        self.assertEqual(["link.dbs", "real.dbs"], sorted(os.listdir(self.path("data"))))

        # As far as the kernel follows a chain of links, and no further: 40
        # links lead to the file, 41 are too many.
        for count in (40, 41):
            chain = self.path("chain%d" % count)
            os.mkdir(chain)
            self.write_earlier(os.path.join("chain%d" % count, "real.dbs"))
            for i in range(count):
                os.symlink("real.dbs" if i == 0 else "l%d" % i,
                           os.path.join(chain, "l%d" % (i + 1)))
            head = os.path.join(chain, "l%d" % count)
            self.assertEqual(count == 40, os.path.exists(head))
            result = self.kavelo(["-LK", "-D", head], self.drives)
            if count == 40:
                self.assert_written(result, os.path.join("chain40", "real.dbs"))
            else:
                self.assert_cannot_create(result, head)
                self.assertEqual(EARLIER, self.read(os.path.join("chain41", "real.dbs")))
            self.assertEqual(count + 1, len(os.listdir(chain)))

        # A link to a directory is a directory: nothing is written.
        make_link("data")
        self.assert_cannot_create(run(), link)
        self.assertEqual(["link.dbs", "real.dbs"], sorted(os.listdir(self.path("data"))))
        self.assertEqual("data", os.readlink(link))

        # A dangling link creates its target, or fails as creating it would.
        make_link(os.path.join("data", "new.dbs"))
        self.assert_written(run(), os.path.join("data", "new.dbs"))
        self.assertTrue(os.path.islink(link))
        make_link(os.path.join("missing", "new.dbs"))
        self.assert_cannot_create(run(), link)
        self.assertEqual(os.path.join("missing", "new.dbs"), os.readlink(link))

        # The stored path's creatability test follows the link as the write
        # does, and neither removes it.
        make_link(os.path.join("data", "stored.dbs"))
        program = self.runner.copy_program(self.path("bin"))
        result = self.kavelo(["-LK"], self.drives, program=program,
                             registry=registry_file({"DatabaseFile": link}))
        self.assert_written(result, os.path.join("data", "stored.dbs"))
        self.assertTrue(os.path.islink(link))
        self.assertEqual([os.path.basename(program)], os.listdir(self.path("bin")))
        self.assert_no_leftovers()


class Traced(Case):
    """Runs under strace, which delays, fails and records the program's
    system calls without a seam in the program."""

    def setUp(self):
        super().setUp()
        self.require_strace()
        self.root = self.make_tree("c", {"f%02d" % i: b"x" * i for i in range(40)})
        self.drives = {"K": ("fixed", self.root)}
        self.expected = sorted(b"K:\\f%02d" % i for i in range(40))
        self.work = self.path("work")
        os.mkdir(self.work)

    def strace(self, *options):
        return ["strace", "-qq", "-o", os.devnull] + list(options)

    def kavelo(self, args, drives, env=None, **kwargs):
        return super().kavelo(args, drives, env=dict(self.untraced_leaks(), **(env or {})),
                              **kwargs)

    @staticmethod
    def untraced_leaks():
        # The sanitizers' leak check cannot run under ptrace.
        options = os.environ.get("ASAN_OPTIONS", "")
        return {"ASAN_OPTIONS": options + (":" if options else "") + "detect_leaks=0"}

    def start(self, args, wrapper):
        """Starts the program without waiting for it.  The walk is the
        serial one, whose writes are all the database's: under the sanitizers
        a thread's start writes too, and would take the delay meant for the
        database."""
        env = self.runner.environment(tempfile.mkdtemp(dir=self.work), self.drives,
                                      env=dict(self.untraced_leaks(), KAVELO_THREADS="0"))
        return subprocess.Popen(wrapper + [self.runner.program] + args, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def wait_for_temporary_file(self, process):
        deadline = time.time() + 30
        while not [n for n in os.listdir(self.tmp) if n.endswith(".tmp")]:
            self.assertIsNone(process.poll(), "ended before writing")
            self.assertLess(time.time(), deadline, "no temporary file appeared")
            time.sleep(0.01)

    def assert_whole(self, creators):
        """The path holds the whole database of a run named in `creators`."""
        data = self.read()
        db = Database(data)
        self.assertIn(db.creator, creators)
        self.assertEqual((b"K", self.expected), (db.letters, sorted(db.paths())))
        self.assertEqual(17 + len(db.creator) + sum(len(p) + 17 for p in self.expected),
                         len(data))

    def test_racing_runs_leave_one_whole_database(self):
        # The slowed run starts first and renames last: its database must
        # stand at the path, whole, and the others' must not be mixed in.
        # Slowed at its lock, its file is another run's to delete until it
        # has the lock: it must find that out and start again.
        target = self.db_arg()
        for call, slowed, delay in (("write", "4+", 800000), ("write", "1", 800000),
                                    ("write", "6", 800000), ("flock", "1", 2000000)):
            inject = "inject=%s:delay_enter=%d:when=%s" % (call, delay, slowed)
            slow = self.start(["-LK", "-D", target, "-Tc", "slow"],
                              self.strace("-e", "trace=" + call, "-e", inject))
            self.wait_for_temporary_file(slow)
            fast = [self.start(["-LK", "-D", target, "-Tc", "fast%d" % i], [])
                    for i in range(3)]
            for run in fast:
                self.assertEqual((0, b""), (run.wait(60), run.stderr.read()), inject)
                run.stdout.close()
                run.stderr.close()
                self.assert_whole([b"fast0", b"fast1", b"fast2"])
            self.assertEqual((0, b""), (slow.wait(60), slow.stderr.read()), inject)
            slow.stdout.close()
            slow.stderr.close()
            self.assert_whole([b"slow"])
            self.assert_no_leftovers()

    def test_interrupt_removes_the_temporary_file(self):
        self.interrupt_each_way()

    def test_interrupt_while_records_spill(self):
        # The temporary file appears when the first block goes to the disk,
        # long before the walk ends; the signal comes while it grows.
        self.drives = {"K": ("fixed", self.spilling_tree())}
        self.interrupt_each_way()

    def spilling_tree(self):
        """A tree whose records pass the memory budget: 9000 of 220 bytes."""
        return self.make_tree("big", {"%04d" % i + "n" * 196: b"" for i in range(9000)})

    def interrupt_each_way(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            self.write_earlier()
            run = self.start(["-LK", "-D", self.db_arg()],
                             self.strace("-e", "trace=write", "-e",
                                         "inject=write:delay_enter=300000"))
            self.wait_for_temporary_file(run)
            os.kill(self.traced_pid(run), number)
            # strace ends as its program did: by the signal.
            self.assertEqual(-number, run.wait(60), number)
            run.stdout.close()
            run.stderr.close()
            self.assertEqual(EARLIER, self.read(), number)
            self.assert_no_leftovers()

    def test_ignored_hangup_stays_ignored(self):
        # Under nohup a hangup must not end the run, nor take its file.
        self.write_earlier()
        run = self.start(["-LK", "-D", self.db_arg(), "-Tc", "nohup"],
                         ["nohup"] + self.strace("-e", "trace=write", "-e",
                                                 "inject=write:delay_enter=300000"))
        self.wait_for_temporary_file(run)
        os.kill(self.traced_pid(run), signal.SIGHUP)
        self.assertEqual((0, b""), (run.wait(60), run.stderr.read()))
        run.stdout.close()
        run.stderr.close()
        self.assert_whole([b"nohup"])
        self.assert_no_leftovers()

    @staticmethod
    def traced_pid(run):
        """The program's PID, run under strace as `run`."""
        with open("/proc/%d/task/%d/children" % (run.pid, run.pid)) as f:
            (child,) = f.read().split()
        return int(child)

    def in_pid_namespace(self, *options):
        """A wrapper that runs the program under strace in a PID namespace of
        its own: every run so wrapped has the same PID, as the runs of a
        container's job do."""
        wrapper = ["unshare", "--user", "--pid", "--fork", "--map-root-user"]
        probe = subprocess.run(wrapper + ["true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("no PID namespace here: %r" % probe.stderr[-200:])
        return wrapper + self.strace(*options)

    def test_runs_killed_in_one_pid_namespace_leave_nothing_behind(self):
        # Each killed run leaves its file; the next run deletes it.  The walk
        # is the serial one, whose writes are all the database's.
        self.write_earlier()
        left = []
        for when in (1, 2, 4, 6):
            result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives,
                                 env={"KAVELO_THREADS": "0"}, wrapper=self.in_pid_namespace(
                                     "-e", "trace=write", "-e",
                                     "inject=write:signal=SIGKILL:when=%d" % when))
            self.assertNotEqual(0, result.returncode, when)
            self.assertEqual(EARLIER, self.read())
            (name,) = [n for n in os.listdir(self.tmp) if n.endswith(".tmp")]
            self.assertRegex(name, r"^\.kv\d+-[0-9a-f]{16}\.tmp$")
            left.append(name)
        self.assertEqual(1, len({n.split("-")[0] for n in left}), left)
        # What earlier versions left goes too; names that differ, what is no
        # file, and a file that a live run holds stay.
        for name in (".kv2-0.tmp", ".kv31-4294967295.tmp"):
            with open(self.path(name), "wb") as f:
                f.write(b"left by an earlier version")
        kept = [".kv2-0123456789abcdeg.tmp", ".kv2-0123456789ABCDEF.tmp",
                ".kv2-01234567890.tmp", ".kv-1.tmp", ".kv2-.tmp", ".kvx-1.tmp",
                "kv2-1.tmp", ".kv2-1.tmp.x", ".kv2-1.TMP"]
        for name in kept:
            with open(self.path(name), "wb") as f:
                f.write(b"the user's own")
        os.mkdir(self.path(".kv2-1.tmp"))
        os.symlink("victim", self.path(".kv2-2.tmp"))
        with open(self.path("victim"), "wb") as f:
            f.write(b"not kavelo's")
        live = self.path(".kv9-00000000000000ff.tmp")
        with open(live, "wb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            result = self.kavelo(["-LK", "-D", self.db_arg(), "-Tc", "last"], self.drives,
                                 wrapper=self.in_pid_namespace())
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assert_whole([b"last"])
        self.assertEqual(sorted(kept + [".kv2-1.tmp", ".kv2-2.tmp", "victim",
                                        os.path.basename(live), "c", "files.dbs", "work"]),
                         sorted(os.listdir(self.tmp)))
        self.assertEqual(b"not kavelo's", self.read("victim"))

    def write_earlier(self):
        with open(self.path("files.dbs"), "wb") as f:
            f.write(EARLIER)

    def trace(self):
        """The system calls of a run: [(name, arguments, result)]."""
        log = os.path.join(self.work, "trace")
        result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives, wrapper=[
            "strace", "-qq", "-o", log, "-e",
            "trace=openat,write,fsync,close,rename,renameat,renameat2,fchmod"])
        self.assert_ok(result)
        calls = []
        with open(log) as f:
            for line in f:
                found = re.match(r"(\w+)\((.*)\)\s+= (-?\d+)", line)
                if found:
                    calls.append((found[1], found[2], int(found[3])))
        return calls

    def temporary_descriptor(self, calls):
        opened = [c for c in calls if c[0] == "openat" and "O_EXCL" in c[1]]
        self.assertEqual(1, len(opened), opened)
        self.assertIn(".tmp", opened[0][1])
        return opened[0][2]

    def test_file_reaches_the_disk_before_it_replaces_the_path(self):
        self.write_earlier()
        os.chmod(self.path("files.dbs"), 0o644)
        calls = self.trace()
        fd = self.temporary_descriptor(calls)
        # Readable by its owner alone until it takes the earlier file's mode.
        opened = [c for c in calls if c[0] == "openat" and "O_EXCL" in c[1]][0]
        self.assertTrue(opened[1].endswith(", 0600"), opened)
        self.assertIn(("fchmod", "%d, 0644" % fd, 0), calls[calls.index(opened):])
        names = [c[0] + ("" if c[0].startswith("rename") else "(%s)" % c[1].split(",")[0])
                 for c in calls]
        names = [n for n in names if "(%d" % fd in n or n.startswith("rename")
                 or n.startswith("fsync")]
        after = names[names.index("fsync(%d)" % fd):]
        self.assertTrue(after[1].startswith("close") and after[2].startswith("rename"), after)
        # The directory is flushed after the rename, so the new name lasts.
        renamed = [c[0].startswith("rename") for c in calls].index(True)
        opened = [c[0] == "openat" and "O_DIRECTORY" in c[1] for c in calls].index(True, renamed)
        self.assertIn(("fsync", str(calls[opened][2]), 0), calls[opened:], calls[renamed:])
        # The database's directory, not the current one.
        self.assertTrue(calls[opened][1].startswith('AT_FDCWD, "%s/"' % self.tmp), calls[opened])

    def test_every_failing_write_keeps_the_earlier_database(self):
        # Each write of the run fails once, then the flush, then the close:
        # each gives 2 and its message, and leaves nothing behind.
        calls = self.trace()
        fd = self.temporary_descriptor(calls)
        writes = [c for c in calls if c[0] == "write"]
        # strace counts the calls of one kind from the start, the loader's too.
        opened = [c[0] == "openat" and "O_EXCL" in c[1] for c in calls].index(True)
        closed = calls.index(("close", str(fd), 0), opened)
        close = [c[0] for c in calls[:closed + 1]].count("close")
        faults = ["inject=write:error=ENOSPC:when=%d" % (i + 1)
                  for i, c in enumerate(writes) if c[1].startswith("%d," % fd)]
        self.assertEqual(6, len(faults))  # the header's five and one block
        faults += ["inject=fsync:error=EIO:when=1", "inject=close:error=EIO:when=%d" % close]
        message = b"Cannot write to file " + self.db_arg().encode() + b".\n"
        for fault in faults:
            self.write_earlier()
            result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives,
                                 wrapper=self.strace("-e", fault))
            self.assertEqual((2, message), (result.returncode, result.stderr), fault)
            self.assertEqual(EARLIER, self.read(), fault)
            self.assert_no_leftovers()

    def test_every_failing_write_while_spilling(self):
        # A write that fails during the walk keeps its block in memory and the
        # run goes on: the writer writes it again at the end, so a failure
        # met once costs nothing.  One that fails at the end gives 2.
        self.drives = {"K": ("fixed", self.spilling_tree())}
        calls = self.trace()
        clean = Database(self.read())
        fd = self.temporary_descriptor(calls)
        writes = [c for c in calls if c[0] == "write"]
        faults = [(self.strace("-e", "inject=write:error=ENOSPC:when=%d" % (i + 1)), None)
                  for i, c in enumerate(writes) if c[1].startswith("%d," % fd)]
        self.assertEqual(5 + 6, len(faults))  # the header's five, six blocks
        faults += [(self.strace("-e", "inject=pwrite64:error=ENOSPC:when=1"), None)]
        # The same writes, each met by a disk that fills midway through it:
        # the half that went is no record, and the writer writes over it.
        faults += [(None, self.fault_shim(SHORT_WRITE=n)) for n in range(1, len(faults) + 1)]
        message = b"Cannot write to file " + self.db_arg().encode() + b".\n"
        outcomes = []
        for fault in faults:
            self.write_earlier()
            result = self.kavelo(["-LK", "-D", self.db_arg()], self.drives,
                                 wrapper=fault[0], env=fault[1])
            if result.returncode == 0:
                db = Database(self.read())
                self.assertEqual((clean.letters, clean.paths()), (db.letters, db.paths()), fault)
            else:
                self.assertEqual((2, message), (result.returncode, result.stderr), fault)
                self.assertEqual(EARLIER, self.read(), fault)
            self.assert_no_leftovers()
            outcomes.append(result.returncode)
        # The header and the spilled blocks go during the walk, the rest at
        # its end.
        self.assertEqual(([0] * 6 + [2] * 6) * 2, outcomes)

    def test_full_disk_keeps_the_earlier_database(self):
        # A file system of 64 KiB, mounted in a mount namespace of the run's
        # own, holds the earlier database; the new one needs 110 KB.
        self.fill_the_disk(500)

    def test_full_disk_while_records_spill(self):
        # 2 MB of records: the first block past the budget finds the disk
        # full, stays in memory, and the writer meets the full disk again.
        self.fill_the_disk(9000)

    def fill_the_disk(self, files):
        names = ["%04d" % i + "n" * 196 for i in range(files)]
        self.make_tree("big", {n: b"" for n in names})
        disk, out = self.path("disk"), self.path("out")
        os.mkdir(disk)
        os.mkdir(out)
        with open(os.path.join(out, "earlier"), "wb") as f:
            f.write(EARLIER)
        script = ('d=$1 o=$2; shift 2; mount -t tmpfs -o size=64k kavelo "$d" || exit 99; '
                  'cp "$o/earlier" "$d/files.dbs" || exit 99; "$@"; rc=$?; '
                  'ls -A "$d" > "$o/listing"; cp "$d/files.dbs" "$o/after"; exit $rc')
        wrapper = ["unshare", "-m", "sh", "-c", script, "sh", disk, out]
        shown = os.path.join(disk, "files.dbs")
        result = self.kavelo(["-LK", "-D", shown], {"K": ("fixed", self.path("big"))},
                             wrapper=wrapper)
        if result.returncode == 99:
            self.skipTest("no tmpfs in a mount namespace here: %r" % result.stderr)
        self.assertEqual((2, b"Cannot write to file " + shown.encode() + b".\n"),
                         (result.returncode, result.stderr))
        with open(os.path.join(out, "after"), "rb") as f:
            self.assertEqual(EARLIER, f.read())
        with open(os.path.join(out, "listing")) as f:
            self.assertEqual("files.dbs\n", f.read())


class HeldFiles(Case):
    """Windows' sharing: other programs holding the database open, and the
    temporary files of runs that did not end their own way."""

    def setUp(self):
        super().setUp()
        if self.runner.name != "wine":
            self.skipTest("Windows' sharing modes")
        self.root = self.make_tree("c", {"a.txt": b"a"})
        self.drives = {"K": ("fixed", self.root)}
        os.mkdir(self.path("bin"))
        self.holder = os.path.join(self.path("bin"), "hold_file.exe")
        shutil.copy2(self.runner.holder(), self.holder)
        # Also sets the drives up, which restarts Wine's server: before any
        # program is started to run alongside.
        self.run_kavelo("earlier")

    def run_kavelo(self, creator):
        return self.kavelo(["-LK", "-D", self.db_arg(), "-Tc", creator], self.drives)

    def hold(self, name, *seconds, program=None):
        """Starts a program holding `name` open without delete sharing."""
        process = self.runner.start([self.runner.program_path(self.path(name))]
                                    + list(seconds), program or self.holder,
                                    stdin=subprocess.PIPE)
        self.addCleanup(self.let_go, process)
        self.assertEqual(b"held", process.stdout.readline().strip())
        return process

    @staticmethod
    def let_go(process):
        if process.returncode is None:
            process.communicate(timeout=60)

    def assert_only(self, names):
        self.assertEqual(sorted(["bin", "c", "files.dbs"] + names), sorted(os.listdir(self.tmp)))

    def test_reader_that_lets_go_within_seconds(self):
        self.hold("files.dbs", "3")
        result = self.run_kavelo("new")
        self.assert_ok(result)
        self.assertEqual(b"new", self.database().creator)
        self.assert_only([])

    def test_reader_that_holds_on_keeps_the_earlier_database(self):
        earlier = self.read()
        reader = self.hold("files.dbs")
        result = self.run_kavelo("new")
        self.let_go(reader)
        self.assertEqual((1, self.text(b"Cannot create file " + self.db_arg().encode() + b".\n")),
                         (result.returncode, result.stderr))
        self.assertEqual(earlier, self.read())
        self.assert_only([])

    def test_listing_does_not_stand_in_the_way(self):
        # More text than the pipe holds: the listing waits, the database open.
        records = [harness.encode_record(b"K:\\%05d" % i, 0, 0, 0, i) for i in range(5000)]
        with open(self.path("files.dbs"), "wb") as f:
            f.write(harness.SIGNATURE + b"old\0\0K\0\0\0\0\0" + b"".join(records))
        dump = os.path.join(self.path("bin"), "kavelo-dump.exe")
        shutil.copy2(os.path.join(os.path.dirname(self.runner.program), "kavelo-dump.exe"), dump)
        listing = self.runner.start([self.db_arg()], dump)
        self.addCleanup(self.let_go, listing)
        self.assertTrue(select.select([listing.stdout], [], [], 60)[0])
        self.assert_ok(self.run_kavelo("new"))
        self.assertEqual(b"new", self.database().creator)
        out, _ = listing.communicate(timeout=60)
        self.assertEqual((0, 5005), (listing.returncode, out.count(b"\n")))
        self.assert_only([])

    def test_dead_runs_temporary_files_go_and_live_ones_stay(self):
        dead = [".kv1f-0123456789abcdef.tmp", ".kv2a-3.tmp", ".kvffffffff-0.tmp"]
        others = [".kv1f-0123456789ABCDEF.tmp", ".kv-1.tmp", ".kv1f-.tmp", ".kv1f-12.tmp.old",
                  "a.kv1f-12.tmp", ".kv1f-12x.tmp", ".kv123456789-1.tmp",
                  ".kv1-0123456789abcdef0.tmp", ".kv1f_12.tmp"]
        for name in dead + others + [".kv1-2.tmp"]:
            with open(self.path(name), "wb") as f:
                f.write(b"x")
        os.mkdir(self.path(".kv3-4.tmp"))
        live = self.hold(".kv1-2.tmp")
        self.assert_ok(self.run_kavelo("new"))
        self.assert_only(others + [".kv1-2.tmp", ".kv3-4.tmp"])
        self.let_go(live)
        self.assert_ok(self.run_kavelo("new"))
        self.assert_only(others + [".kv3-4.tmp"])

"""The walk with read-ahead workers writes the serial walk's bytes."""

import os
import shutil
import subprocess
import sys

from harness import SIGNATURE, Case, Database

# Keeps making and removing files and directories under a directory until
# killed, so that entries vanish between a directory's read and their stats.
CHURN = r"""
import os, sys
base = sys.argv[1]
n = 0
while True:
    n += 1
    name = os.path.join(base, "v%d" % (n % 50))
    try:
        if n % 3:
            open(name, "w").close()
            os.remove(name)
        else:
            os.mkdir(name)
            open(os.path.join(name, "in"), "w").close()
            os.remove(os.path.join(name, "in"))
            os.rmdir(name)
    except OSError:
        pass
"""


class SameBytes(Case):
    def tree(self):
        files = {"top.txt": b"1", ".hidden": b"x", ".dot/in.txt": b"x",
                 "a/.x": b"x", "empty": None}
        # A directory of 5000 entries with subdirectories among its files.
        for i in range(5000):
            files["big/f%04d" % i] = b""
        for i in range(20):
            files["big/s%02d/in.txt" % i] = b"z" * i
        # Many small directories, three deep, for the workers to run ahead on.
        for i in range(40):
            for j in range(5):
                files["many/d%02d/e%d/f.txt" % (i, j)] = b"y" * j
                files["many/d%02d/g%d.txt" % (i, j)] = b""
        # A chain 60 levels deep, a file on every level.
        chain = "chain"
        for level in range(60):
            chain += "/c"
            files[chain + "/f%02d" % level] = b""
        # Near the search pattern's limit: `pattern` is left out, `edge` is
        # entered.
        a, b = "a" * 120, "b" * 120
        files["%s/%s/%s/in.txt" % (a, b, "p" * 11)] = b""
        files["%s/%s/%s/in.txt" % (a, b, "e" * 10)] = b""
        root = self.make_tree("c", files)
        for i in range(0, 5000, 250):
            self.set_times(os.path.join(root, "big", "f%04d" % i), 1300000000 + i)
        links = {
            "links/to_file": "top.txt",
            "links/to_dir": os.path.join(root, "many", "d03"),
            "links/to_link": os.path.join(root, "links", "to_dir"),
            "links/dangling": os.path.join(root, "missing"),
            "links/to_root": root,
            "many/d05/e1/up": os.path.join(root, "many"),
            "x/to_y": os.path.join(root, "y"),
            "y/to_x": os.path.join(root, "x"),
        }
        for name, target in links.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            os.symlink(target, os.path.join(root, name))
        # Following the dangling link the first time sets its access time
        # (relatime): a first scan lets it settle before scans are compared.
        self.scan(root, "0")
        return root

    def scan(self, root, threads, wrapper=None):
        name = "t%s.dbs" % threads
        result = self.kavelo(["-LK", "-D", self.db_arg(name)],
                             {"K": ("fixed", root)},
                             env={"KAVELO_THREADS": threads}, wrapper=wrapper)
        self.assert_ok(result)
        data = self.read(name)
        return data[:13] + data[17:]  # without the database time

    def test_workers_write_the_serial_bytes(self):
        root = self.tree()
        serial = self.scan(root, "0")
        self.assertGreater(len(serial), 5000 * 30)
        for threads in ("1", "2", "8", None):
            self.assertEqual(serial, self.scan(root, threads), threads)

    def test_few_descriptors_lose_no_file(self):
        # Eight descriptors beside standard input, output and error; the
        # chain alone is 60 levels deep.
        if self.runner.name != "native":
            self.skipTest("descriptor limits are the POSIX port's")
        root = self.tree()
        serial = self.scan(root, "0")
        wrapper = ["bash", "-c", 'ulimit -n 11; exec "$@"', "kavelo"]
        for threads in ("0", "2", "8"):
            self.assertEqual(serial, self.scan(root, threads, wrapper), threads)

    def test_vanishing_entries_leave_the_rest_in_order(self):
        root = self.tree()
        churn = os.path.join(root, "many", "d07", "churn")
        os.mkdir(churn)
        serial = self.database_of(self.scan(root, "0"))
        churner = subprocess.Popen([sys.executable, "-c", CHURN, churn])
        try:
            for threads in ("0", "2", "8"):
                records = self.database_of(self.scan(root, threads))
                self.assertEqual(serial, records, threads)
        finally:
            churner.kill()
            churner.wait()

    @staticmethod
    def database_of(data):
        """The records of a scan, those under the churning directory left
        out."""
        from harness import Database
        db = Database(data[:13] + b"\0\0\0\0" + data[13:])
        return [r for r in db.records if b"\\churn\\" not in r[0]]

# Swaps each directory sub/dN with the link sub/lN beside it, which leads to
# the drive's root, until killed.
SWAP = r"""
import ctypes, sys
rename = ctypes.CDLL(None).renameat2
root = sys.argv[1].encode()
while True:
    for i in range(20):
        rename(-100, b"%s/sub/d%d" % (root, i), -100, b"%s/sub/l%d" % (root, i),
               2)  # AT_FDCWD, RENAME_EXCHANGE
"""


class Swaps(Case):
    def test_directories_swapped_for_links_lead_nowhere_new(self):
        # A walk enters the directory its search saw, or the one a link was
        # checked to lead to, or none: never the root once more through a
        # name that has meanwhile become a link to it.
        if self.runner.name != "native":
            self.skipTest("rename-exchange is the POSIX port's")
        files = {"top": b"", "inner/g": b""}
        for i in range(20):
            files["sub/d%d/inner/f" % i] = b""
        root = self.make_tree("k", files)
        for i in range(20):
            os.symlink(root, os.path.join(root, "sub", "l%d" % i))
        swapper = subprocess.Popen([sys.executable, "-c", SWAP, root])
        try:
            for run in range(40):
                threads = "0" if run % 2 else "8"
                result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)},
                                     env={"KAVELO_THREADS": threads})
                self.assert_ok(result)
                for path in self.database().paths():
                    parts = path.split(b"\\")
                    self.assertTrue(path in (b"K:\\top", b"K:\\inner\\g") or
                                    (len(parts) == 5 and parts[1:4:2] == [b"sub", b"inner"]
                                     and parts[4] == b"f"), (threads, path))
        finally:
            swapper.kill()
            swapper.wait()


class ThreadExit(Case):
    def test_no_destructor_is_registered_for_thread_exit(self):
        # A thread_local with a destructor has glibc register one on each
        # thread's first use, and glibc aborts the run when it cannot (short
        # of memory, under `ulimit -v`, with workers starting).
        if self.runner.name != "native":
            self.skipTest("the POSIX port's threads")
        nm = shutil.which("nm")
        if nm is None:
            self.skipTest("nm is not installed")
        imports = subprocess.run([nm, "-D", "--undefined-only", self.runner.program],
                                 check=True, capture_output=True, text=True).stdout
        # The listing is the program's imports: the workers' threads among
        # them.
        self.assertIn("pthread_create", imports)
        self.assertEqual([], [s for s in imports.split() if "thread_atexit" in s])


class AddressSpaceLimit(Case):
    """Under an address-space limit the workers give way to the walk: wherever
    the serial walk writes every drive, the parallel walk writes its bytes."""

    DRIVES = "ABC"

    def setUp(self):
        super().setUp()
        if self.runner.name != "native":
            self.skipTest("needs POSIX resource limits")
        self.drives = {}
        for letter in self.DRIVES:
            # Some 700 KB of records a drive: each drive takes blocks of its
            # own, so that a drive the walk could not finish is seen missing.
            root = self.path(letter.lower())
            for d in range(40):
                directory = os.path.join(root, "directory%02d" % d)
                os.makedirs(directory)
                for f in range(150):
                    open(os.path.join(directory, "n" * 80 + "%03d" % f),
                         "wb").close()
            self.drives[letter] = ("fixed", root)

    def run_limited(self, threads, kilobytes, name):
        """A scan under a limit of `kilobytes`; the stack limit as most systems
        set it, so that a thread's default stack is what it usually is."""
        if os.path.exists(self.path(name)):
            os.remove(self.path(name))
        wrapper = ["bash", "-c", 'ulimit -s 8192; ulimit -v %d; exec "$@"'
                   % kilobytes, "kavelo"]
        return self.kavelo(["-L" + self.DRIVES, "-D", self.db_arg(name)],
                           self.drives, env={"KAVELO_THREADS": threads},
                           wrapper=wrapper)

    def scan(self, threads, kilobytes):
        """The scan's exit code, letters and database without its time."""
        name = "t%s.dbs" % threads
        result = self.run_limited(threads, kilobytes, name)
        self.assertGreaterEqual(result.returncode, 0,
                                "killed by a signal at %d KiB: %r" % (kilobytes, result))
        if result.returncode != 0:
            return result.returncode, None, None
        data = self.read(name)
        letters = Database(data).letters
        at = len(SIGNATURE) + 3 + len(letters)  # three texts, the letters
        return 0, letters, data[:at] + data[at + 4:]  # without the time

    def test_workers_give_way_at_every_limit(self):
        # The sanitizers reserve more address space than any limit here.
        probe = self.run_limited("0", 1 << 20, "probe.dbs")
        if probe.returncode != 0:
            self.skipTest("cannot run under an address-space limit: %r"
                          % probe.stderr[-200:])
        whole = self.scan("0", 1 << 20)[2]
        # The least limit, to 64 KiB, at which the serial walk writes every
        # drive.
        low, high = 1024, 1 << 16
        expected = (0, self.DRIVES.encode(), whole)
        self.assertEqual(expected, self.scan("0", high))
        while high - low > 64:
            middle = (low + high) // 2
            if self.scan("0", middle) == expected:
                high = middle
            else:
                low = middle
        # From 1 MiB above that limit, where the heap's free memory between
        # the lists the walk still holds counts no more, and where one
        # thread's default stack more or fewer would leave the records too
        # little.
        limits = [high + 1024] + [high + 768 * i for i in range(2, 16)]
        limits += [high + 1024 * i for i in (16, 24, 32, 48, 64)]
        for limit in limits:
            if self.scan("0", limit) != expected:
                continue
            code, letters, data = self.scan("8", limit)
            self.assertEqual(expected[:2], (code, letters), "at %d KiB" % limit)
            self.assertTrue(data == whole, "other records at %d KiB" % limit)
        # Below it the walk may fall short, but fails as a walk does.
        for limit in (high - 256, high - 1024):
            self.scan("8", limit)

"""End-to-end harness: runs the built kavelo against real temporary trees.

A case is written once against `Runner` and runs under each runner: the
native POSIX build (native_runner.py), and the Windows build under Wine
(wine_runner.py).
"""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

RUNNER = None  # set by run_e2e.py
VERSION = None  # set by run_e2e.py: MAJOR.MINOR, as the usage text gives it

SIGNATURE = b"VANTOREX\x04"


class Result:
    def __init__(self, returncode, stdout, stderr):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "Result(%r, stdout=%r, stderr=%r)" % (
            self.returncode, self.stdout[:200], self.stderr[:400])


class Database:
    """A database file taken apart."""

    def __init__(self, data):
        assert data.startswith(SIGNATURE), data[:16]
        at = len(SIGNATURE)
        fields = []
        for _ in range(3):
            end = data.index(b"\0", at)
            fields.append(data[at:end])
            at = end + 1
        self.creator, self.description, self.letters = fields
        (self.time,) = struct.unpack_from("<I", data, at)
        at += 4
        self.records = []
        while at < len(data):
            end = data.index(b"\0", at)
            path = data[at:end]
            write, create, access, size = struct.unpack_from("<iiiI", data, end + 1)
            self.records.append((path, write, create, access, size))
            at = end + 17

    def paths(self):
        return [r[0] for r in self.records]

    def record(self, path):
        found = [r for r in self.records if r[0] == path]
        assert len(found) == 1, (path, found)
        return found[0]


def registry_file(values, key=r"HKEY_CURRENT_USER\Software\Pelmar\Database"):
    """A REGEDIT4 export holding the string values of `values` under `key`."""
    lines = ["REGEDIT4", "", "[%s]" % key]
    for name, value in values.items():
        escaped = value.replace("\\", "\\\\").replace('"', '\\"')
        lines.append('"%s"="%s"' % (name, escaped))
    return "\r\n".join(lines) + "\r\n"


def encode_record(path, write, create, access, size):
    return path + b"\0" + struct.pack("<iiiI", write, create, access, size)


class Runner:
    """Everything a case asks of the platform it runs on.  A runner maps drive
    letters to host directories, turns host paths into the paths the program
    sees, and starts the program; the methods that raise NotImplementedError
    here are the ones each runner supplies."""

    # "native" or "wine": a case that needs one platform's features checks it.
    name = "?"
    # How the program's text output ends its lines: the Windows C runtime
    # writes standard output and error in text mode.
    newline = b"\n"
    # Whether a drive can be made not ready; a runner that can also supplies
    # environment(), as the dialogue cases start the program themselves.
    can_make_drive_not_ready = False

    def __init__(self, program):
        # The program under test, as a host path.
        self.program = program

    def setup(self):
        """Prepares the runner once, before the first case."""
        raise NotImplementedError

    def teardown(self):
        """Undoes setup() once, after the last case."""
        raise NotImplementedError

    def temp_root(self):
        """The directory the cases' trees go under, or None for the system's
        temporary directory; the program must reach it."""
        raise NotImplementedError

    def scratch_directory(self, directory):
        """Where the program makes its temporary files, as a host directory,
        and the environment (for run()) that puts them there: `directory`,
        made here, where a run can choose (TMPDIR on POSIX); else the
        system's own."""
        raise NotImplementedError

    def daylight_zone(self):
        """A TZ value for central Europe, with daylight saving, as the program
        reads it under this runner."""
        raise NotImplementedError

    def fixed_zone(self, hours_east):
        """A TZ value `hours_east` hours east of UTC, without daylight saving."""
        raise NotImplementedError

    def creation_time(self, path):
        """The creation time the program reports for the host file `path`."""
        raise NotImplementedError

    def set_attributes(self, host_path, change):
        """Sets DOS attributes (`+h`, `+s`); only where the platform has them
        (name "wine")."""
        raise NotImplementedError

    def program_path(self, host_path):
        """The path the program sees for a host path."""
        raise NotImplementedError

    def copy_program(self, directory):
        """A copy of the program in `directory`, to run from there."""
        os.makedirs(directory, exist_ok=True)
        target = os.path.join(directory, os.path.basename(self.program))
        shutil.copy2(self.program, target)
        return target

    def environment(self, work, drives, env=None, registry=None):
        """The environment for starting the program directly on the host with
        `drives` and `registry` (as in run()), its files written to `work`;
        supplied where can_make_drive_not_ready is set."""
        raise NotImplementedError

    def run(self, args, drives, cwd=None, env=None, program=None,
            wrapper=None, stdin=subprocess.DEVNULL, registry=None):
        """Runs the program (or `program`, a copy) with `args` and returns a
        Result.  `drives` is {letter: (type, host_dir)}; `registry` the current
        user's registry as a REGEDIT4 text, or None for no settings; `env`
        changes the environment (None unsets); `wrapper` is a host command the
        program runs under."""
        raise NotImplementedError


class Case(unittest.TestCase):
    """A case with its own temporary directory, runnable under any runner."""

    maxDiff = 4000

    def setUp(self):
        self.runner = RUNNER
        self.tmp = tempfile.mkdtemp(prefix="kavelo-e2e-",
                                    dir=self.runner.temp_root())
        self.addCleanup(shutil.rmtree, self.tmp, True)

    # -- trees -------------------------------------------------------------

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def make_tree(self, root, files):
        """Creates `files` ({relative path: bytes or None for a directory})."""
        base = self.path(root)
        os.makedirs(base, exist_ok=True)
        for relative, content in files.items():
            full = os.path.join(base, relative)
            if content is None:
                os.makedirs(full, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(content)
        return base

    def set_times(self, path, write, access=None):
        os.utime(path, (write if access is None else access, write))

    # -- running -------------------------------------------------------------

    def kavelo(self, args, drives, **kwargs):
        return self.runner.run(args, drives, **kwargs)

    def db_arg(self, name="files.dbs"):
        return self.runner.program_path(self.path(name))

    def read(self, name="files.dbs"):
        with open(self.path(name), "rb") as f:
            return f.read()

    def database(self, name="files.dbs"):
        return Database(self.read(name))

    def text(self, message):
        """`message` as the program prints it on this platform."""
        return message.replace(b"\n", self.runner.newline)

    def require_strace(self):
        """Skips the case, saying why, unless strace can trace the program:
        it traces the POSIX port only, and some machines forbid ptrace."""
        if self.runner.name != "native":
            self.skipTest("strace traces the POSIX port's system calls")
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        probe = subprocess.run(["strace", "-o", os.devnull, "true"],
                               capture_output=True)
        if probe.returncode != 0:
            self.skipTest("strace cannot trace here: %r" % probe.stderr[-200:])

    def fault_shim(self, **faults):
        """The environment of a run with tests/fault_shim.cpp preloaded,
        making `faults` (SHORT_WRITE=3 sets KAVELO_FAULT_SHORT_WRITE=3).
        Skips the case where the shim is not built; under CTest, which names
        it, it must be there."""
        if self.runner.name != "native":
            self.skipTest("the fault shim is preloaded into the POSIX port")
        shim = os.environ.get("KAVELO_FAULT_SHIM")
        if shim is None:
            shim = os.path.join(os.path.dirname(self.runner.program), "tests",
                                "libfault_shim.so")
            if not os.path.exists(shim):
                self.skipTest("the fault shim is not built: %s" % shim)
        # The sanitizers' runtime then loads after the shim, which they allow.
        options = os.environ.get("ASAN_OPTIONS", "")
        env = {"LD_PRELOAD": shim, "ASAN_OPTIONS": options + (":" if options else "")
               + "verify_asan_link_order=0"}
        env.update(("KAVELO_FAULT_" + name, str(value)) for name, value in faults.items())
        return env

    def assert_ok(self, result):
        self.assertEqual((0, b""), (result.returncode, result.stderr), result)

    def assert_no_leftovers(self):
        """Nothing but what the case made itself: no temporary files."""
        for root, _, names in os.walk(self.tmp):
            for name in names:
                self.assertFalse(name.endswith(".tmp"), os.path.join(root, name))

    def birth_time(self, path):
        """The creation time the platform reports for `path`."""
        return self.runner.creation_time(path)

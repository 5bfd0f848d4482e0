"""Runs kavelo.exe under Wine, with drives of the case's own choosing.

Wine's drives are symbolic links in $WINEPREFIX/dosdevices.  `c:` stays, as
Wine cannot start without its C:\\windows\\system32, but is made a network
drive so that "1" does not walk it; `z:`, which maps `/`, is removed.  The
cases' trees live under one workspace that drive Y: (network) maps, so the
program reaches the database path and its own copy through Y:.  Drive types
come from HKLM\\Software\\Wine\\Drives and are read when the wineserver
starts: a run that needs other types rewrites them and restarts it.
"""

import os
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

WORKSPACE_LETTER = "y"
# The first run after the server starts also starts Wine's own 64-bit
# processes (services, devices), which inherit its standard error; one of
# them crashing now and then says so there.  A 16-digit address cannot be
# the 32-bit program's; the program's own crash, in either build, would also
# end it with a failure.
WINE_OWN_CRASH = re.compile(
    rb"wine: Unhandled [^\n]* at address [0-9A-Fa-f]{16} [^\n]*\n")
TYPE_NAMES = {"fixed": "hd", "removable": "floppy", "remote": "network",
              "cdrom": "cdrom", "ramdisk": "ramdisk"}


class WineRunner(harness.Runner):
    name = "wine"
    # Wine reports every configured removable or CD drive as ready.
    can_make_drive_not_ready = False
    newline = b"\r\n"

    def __init__(self, program, prefix, loader):
        super().__init__(program)
        # The Wine loader: `wine` for the 32-bit build, the 64-bit loader
        # itself for the 64-bit one.
        self.loader = loader
        self.prefix = os.path.abspath(prefix or os.path.join(
            os.path.dirname(program), "wine", "e2e"))
        self.workspace = None
        self.types = {}

    # -- Wine itself ---------------------------------------------------------

    def env(self, extra=None):
        env = dict(os.environ)
        # No .NET or HTML engine: a new prefix would offer to download them.
        env.update({"WINEPREFIX": self.prefix, "WINEDEBUG": "-all",
                    "WINEDLLOVERRIDES": "mscoree=d;mshtml=d"})
        for key in ("KAVELO_DRIVES", "KAVELO_REGISTRY", "DISPLAY"):
            env.pop(key, None)
        if extra:
            for key, value in extra.items():
                if value is None:
                    env.pop(key, None)
                else:
                    env[key] = value
        return env

    def wine(self, *args, check=True):
        done = subprocess.run([self.loader] + list(args), env=self.env(),
                              capture_output=True, timeout=300)
        if check and done.returncode != 0:
            raise RuntimeError("wine %r failed: %r" % (args, done.stderr[-2000:]))
        return done

    def stop_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), capture_output=True)
        subprocess.run(["wineserver", "-w"], env=self.env(), capture_output=True)

    def dosdevices(self):
        return os.path.join(self.prefix, "dosdevices")

    def set_types(self, wanted):
        """Makes the drive types those of `wanted` ({letter: type name})."""
        changed = {k: v for k, v in wanted.items() if self.types.get(k) != v}
        if not changed:
            return
        for letter, kind in changed.items():
            self.wine("reg", "add", r"HKLM\Software\Wine\Drives", "/v",
                      letter + ":", "/d", kind, "/f", "/reg:64")
            self.types[letter] = kind
        self.stop_server()

    def setup(self):
        os.makedirs(self.prefix, exist_ok=True)
        self.wine("cmd", "/c", "exit")  # creates the prefix on first use
        devices = self.dosdevices()
        if os.path.lexists(os.path.join(devices, "z:")):
            os.remove(os.path.join(devices, "z:"))
        self.workspace = tempfile.mkdtemp(prefix="kavelo-wine-")
        self.link(WORKSPACE_LETTER, self.workspace)
        self.types = {}
        self.registry = "unknown"
        self.set_registry(None)
        self.set_types({"c": "network", WORKSPACE_LETTER: "network"})
        self.exe = self.copy_program(self.workspace)

    def teardown(self):
        self.stop_server()
        if self.workspace:
            for letter in "abdefghijklmnopqrstuvwxy":
                self.link(letter, None)
            self.link("z", "/")
            shutil.rmtree(self.workspace, True)

    def set_registry(self, text):
        """Makes HKCU\\Software\\Pelmar hold just what `text` imports."""
        if text == self.registry:
            return
        self.wine("reg", "delete", r"HKCU\Software\Pelmar", "/f", check=False)
        if text is not None:
            path = os.path.join(self.workspace, "fixture.reg")
            with open(path, "w", newline="") as f:
                f.write(text)
            self.wine("regedit", "/S", self.program_path(path))
            os.remove(path)
        self.registry = text

    def set_attributes(self, host_path, change):
        """Sets DOS attributes (`+h`, `+s`) with Wine's own attrib."""
        self.wine("attrib", change, self.program_path(host_path))

    def link(self, letter, target):
        path = os.path.join(self.dosdevices(), letter.lower() + ":")
        if os.path.lexists(path):
            os.remove(path)
        if target is not None:
            os.symlink(target, path)

    # -- the runner's interface -------------------------------------------------

    def temp_root(self):
        return self.workspace

    def scratch_directory(self, directory):
        # Wine takes TEMP and TMP from the prefix's registry, not from the
        # host's environment: the user's folder, named after the host user.
        return os.path.join(self.prefix, "drive_c", "users",
                            pwd.getpwuid(os.getuid()).pw_name, "Temp"), {}

    def daylight_zone(self):
        return "CET-1CEST"

    def fixed_zone(self, hours_east):
        # Wine's time-zone code and the 32-bit runtime both read the plain
        # POSIX form without a daylight-saving part.
        return "XXX%+d" % -hours_east

    def program_path(self, host_path):
        relative = os.path.relpath(os.path.abspath(host_path), self.workspace)
        if relative.startswith(".."):
            return host_path  # outside every drive: left as it is
        return WORKSPACE_LETTER.upper() + ":\\" + relative.replace("/", "\\")

    def creation_time(self, path):
        return int(os.stat(path).st_mtime)

    def holder(self):
        """The helper that holds a file open without delete sharing."""
        return os.path.join(os.path.dirname(self.program), "tests",
                            "hold_file.exe")

    def start(self, args, program, stdin=subprocess.DEVNULL):
        """Starts `program` (a copy on a mapped drive) without waiting for
        it, after a run has set the drives up."""
        return subprocess.Popen([self.loader, program] + list(args),
                                cwd=self.workspace, env=self.env(),
                                stdin=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    def run(self, args, drives, cwd=None, env=None, program=None,
            wrapper=None, stdin=subprocess.DEVNULL, registry=None):
        if wrapper:
            raise unittest.SkipTest("a POSIX wrapper has no meaning under Wine")
        letters = {l.lower() for l in drives}
        if letters & {"c", WORKSPACE_LETTER}:
            raise ValueError("drives C: and Y: belong to Wine and the workspace")
        self.set_types({l.lower(): TYPE_NAMES[kind]
                        for l, (kind, _) in drives.items()})
        for letter in "abdefghijklmnopqrstuvwx":
            root = drives.get(letter.upper(), (None, None))[1]
            if root is None or os.path.isdir(root):
                self.link(letter, root)
            else:
                self.link(letter, None)  # a missing root: no drive at all
        self.set_registry(registry)
        command = [self.loader, program or self.exe] + list(args)
        done = subprocess.run(command, cwd=cwd or self.workspace,
                              env=self.env(env), stdin=stdin,
                              capture_output=True, timeout=300)
        return harness.Result(done.returncode, done.stdout,
                              WINE_OWN_CRASH.sub(b"", done.stderr))


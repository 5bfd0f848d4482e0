"""Runs the POSIX port directly, its drives and registry given by files of
each run's own (KAVELO_DRIVES, KAVELO_REGISTRY)."""

import os
import shutil
import subprocess
import tempfile

import harness

# Variables of the developer's own setup that would leak into a run.
_CLEARED = ("KAVELO_DRIVES", "KAVELO_REGISTRY", "XDG_CONFIG_HOME")


class NativeRunner(harness.Runner):
    name = "native"
    can_make_drive_not_ready = True

    def setup(self):
        pass  # each run brings its own drive table and registry

    def teardown(self):
        pass

    def temp_root(self):
        return None

    def scratch_directory(self, directory):
        os.makedirs(directory, exist_ok=True)
        return directory, {"TMPDIR": directory}

    def daylight_zone(self):
        return "CET-1CEST,M3.5.0,M10.5.0/3"

    def fixed_zone(self, hours_east):
        # POSIX counts the offset westwards.
        return "XXX%+d" % -hours_east

    def program_path(self, host_path):
        return host_path

    def creation_time(self, path):
        # The birth time where the file system keeps one, else the last-write
        # time stands in.
        out = subprocess.run(["stat", "-c", "%W", path], check=True,
                             capture_output=True, text=True).stdout.strip()
        birth = int(out) if out.lstrip("-").isdigit() else 0
        return birth if birth > 0 else int(os.stat(path).st_mtime)

    def environment(self, work, drives, env=None, registry=None):
        """The environment of a run with `drives` and `registry`, its files
        written to `work`."""
        run_env = {k: v for k, v in os.environ.items() if k not in _CLEARED}
        table = os.path.join(work, "drives")
        with open(table, "w") as f:
            for letter, (kind, root) in sorted(drives.items()):
                f.write("%s %s %s\n" % (letter, kind, root))
        run_env["KAVELO_DRIVES"] = table
        run_env["KAVELO_REGISTRY"] = os.path.join(work, "user.reg")
        if registry is not None:
            with open(run_env["KAVELO_REGISTRY"], "w") as f:
                f.write(registry)
        run_env["HOME"] = work
        for key, value in (env or {}).items():
            if value is None:
                run_env.pop(key, None)
            else:
                run_env[key] = value
        return run_env

    def run(self, args, drives, cwd=None, env=None, program=None,
            wrapper=None, stdin=subprocess.DEVNULL, registry=None):
        work = tempfile.mkdtemp(prefix="kavelo-run-")
        try:
            run_env = self.environment(work, drives, env, registry)
            command = [program or self.program] + list(args)
            if wrapper:
                command = wrapper + command
            done = subprocess.run(command, cwd=cwd, env=run_env, stdin=stdin,
                                  capture_output=True, timeout=300,
                                  start_new_session=True)
            return harness.Result(done.returncode, done.stdout, done.stderr)
        finally:
            shutil.rmtree(work, True)

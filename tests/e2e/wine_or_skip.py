"""Runs a command that needs Wine, or skips it where Wine cannot run.

Usage: wine_or_skip.py LOADER [COMMAND...]

LOADER is the Wine loader the command uses: Debian's `wine` for the 32-bit
build, which runs kavelo.exe in a 32-bit process, or the 64-bit loader for
the 64-bit build.  Some machines cannot execute 32-bit x86 code at all (their
kernel or hypervisor refuses it: even the 32-bit loader fails with "Exec
format error"); where LOADER cannot run, the command is not run, the reason
is printed, and the exit code 77 tells CTest that the test was skipped, not
passed.  Without a command, only the answer is given: 0 where LOADER runs,
77 where it cannot.
"""

import subprocess
import sys

SKIPPED = 77


def wine_can_run(loader):
    try:
        done = subprocess.run([loader, "--version"], capture_output=True,
                              timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    if done.returncode != 0:
        return False, (done.stderr or done.stdout).decode(errors="replace")
    return True, ""


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    loader, command = sys.argv[1], sys.argv[2:]
    ok, reason = wine_can_run(loader)
    if not command:
        if not ok:
            print("Wine (%s) cannot run on this machine: %s"
                  % (loader, reason.strip()))
        return 0 if ok else SKIPPED
    if not ok:
        print("SKIPPED: Wine (%s) cannot run on this machine, so the program "
              "was built but not run: %s" % (loader, reason.strip()))
        return SKIPPED
    return subprocess.call(command)


if __name__ == "__main__":
    sys.exit(main())

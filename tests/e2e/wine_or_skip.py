"""Runs a command that needs Wine, or skips it where Wine cannot run.

kavelo.exe is a 32-bit program, and Wine runs it in a 32-bit process.  Some
machines cannot execute 32-bit x86 code at all (their kernel or hypervisor
refuses it: even the 32-bit loader fails with "Exec format error"); there
the command is not run, the reason is printed, and the exit code 77 tells
CTest that the test was skipped, not passed.
"""

import subprocess
import sys

SKIPPED = 77


def wine_can_run():
    try:
        done = subprocess.run(["wine", "--version"], capture_output=True,
                              timeout=60)
    except OSError as error:
        return False, str(error)
    if done.returncode != 0:
        return False, (done.stderr or done.stdout).decode(errors="replace")
    return True, ""


def main():
    ok, reason = wine_can_run()
    if not ok:
        print("SKIPPED: Wine cannot run on this machine, so the 32-bit "
              "program was built but not run: %s" % reason.strip())
        return SKIPPED
    return subprocess.call(sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())

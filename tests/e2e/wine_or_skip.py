"""Runs a command that needs Wine, or skips it where Wine cannot run the
build's programs.

Usage: wine_or_skip.py LOADER PROBE BITS [COMMAND...]

LOADER is the Wine loader the command uses: Debian's `wine` or the one
scripts/wine32-emulated sets up for the 32-bit build, the 64-bit loader for
the 64-bit build.  PROBE is a program of the build (wine_probe.exe) that
prints how wide its pointers are; BITS is what it must print (32 or 64).
The question is answered by running it, with the command's environment (its
WINEPREFIX): asking a loader for its version proves nothing, as Debian's
`wine` answers through its 64-bit half where 32-bit Wine is missing or
cannot run.

Where the probe does not run, the command is not run, the reason is printed
and the exit code 77 tells CTest that the test was skipped, not passed; with
KAVELO_WINE_REQUIRED=1 (scripts/test, which set the loader up) it is a
failure, exit code 1.  Without a command, only the answer is given: 0 where
the probe runs, 77 (or 1) where it does not.
"""

import os
import subprocess
import sys

SKIPPED = 77
# A new prefix is made at the first run: some ten seconds natively, longer
# with the 32-bit side under QEMU.
PROBE_TIMEOUT = 600


def reach_the_host_root(prefix):
    """Gives the prefix back its Z: drive, mapping /, through which Wine
    reaches the probe: the end-to-end runner takes it away for its cases
    and leaves it away if the run is cut short, so the next run's probe
    would not be found."""
    if not prefix:
        return
    devices = os.path.join(prefix, "dosdevices")
    z_drive = os.path.join(devices, "z:")
    if os.path.isdir(devices) and not os.path.lexists(z_drive):
        os.symlink("/", z_drive)


def probe_runs(loader, probe, bits, env=None):
    """(True, "") where LOADER runs PROBE as a BITS-bit program, else
    (False, why)."""
    reach_the_host_root((env or os.environ).get("WINEPREFIX"))
    try:
        done = subprocess.run([loader, probe], capture_output=True, env=env,
                              timeout=PROBE_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    said = done.stdout.decode(errors="replace").strip()
    if done.returncode == 0 and said == "%s-bit" % bits:
        return True, ""
    why = done.stderr.decode(errors="replace").strip().splitlines()[-3:]
    return False, "%s %s ended with %d, printing %r%s" % (
        loader, os.path.basename(probe), done.returncode, said,
        (": " + " / ".join(why)) if why else "")


def main():
    if len(sys.argv) < 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    loader, probe, bits, command = (sys.argv[1], sys.argv[2], sys.argv[3],
                                    sys.argv[4:])
    ok, reason = probe_runs(loader, probe, bits)
    if ok:
        return subprocess.call(command) if command else 0
    required = os.environ.get("KAVELO_WINE_REQUIRED") == "1"
    print("%s: Wine cannot run the %s-bit programs here, so %s: %s"
          % ("FAILED" if required else "SKIPPED", bits,
             "they were built but not run" if command else "no test runs",
             reason))
    return 1 if required else SKIPPED


if __name__ == "__main__":
    sys.exit(main())

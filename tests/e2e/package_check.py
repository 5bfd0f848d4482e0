"""The download a Windows user gets: kavelo-VERSION-win32.zip with kavelo.exe
and the README, at its top level.

Arguments: scripts/package, kavelo.exe, README.md, and VERSION as the
package name gives it, MAJOR.MINOR."""

import subprocess
import sys
import zipfile

script, exe, readme, version = sys.argv[1:5]
archive = subprocess.run([script], check=True, capture_output=True,
                         text=True).stdout.strip()
assert archive.endswith("kavelo-%s-win32.zip" % version), archive
with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    assert names == ["README.md", "kavelo.exe"], names
    assert z.read("kavelo.exe") == open(exe, "rb").read()
    assert z.read("README.md") == open(readme, "rb").read()
print("1 passed, 0 failed")

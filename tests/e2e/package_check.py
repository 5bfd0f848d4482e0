"""The download a Windows user gets: kavelo-1.3-win32.zip with kavelo.exe
and the README, at its top level."""

import subprocess
import sys
import zipfile

script, exe, readme = sys.argv[1:4]
archive = subprocess.run([script], check=True, capture_output=True,
                         text=True).stdout.strip()
assert archive.endswith("kavelo-1.3-win32.zip"), archive
with zipfile.ZipFile(archive) as z:
    names = sorted(z.namelist())
    assert names == ["README.md", "kavelo.exe"], names
    assert z.read("kavelo.exe") == open(exe, "rb").read()
    assert z.read("README.md") == open(readme, "rb").read()
print("1 passed, 0 failed")

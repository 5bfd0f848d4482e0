"""The packages users get.

win32: kavelo-VERSION-win32.zip with kavelo.exe, kavelo-dump.exe and the
README at its top level, the documentation under docs/.  Arguments: win32,
scripts/package, kavelo.exe, kavelo-dump.exe, README.md, the docs directory,
and VERSION as the package name gives it, MAJOR.MINOR.

native: `cmake --install` into a prefix, and the .deb that cpack makes,
unpacked into a scratch root; the programs run from both.  Arguments: native,
the build directory, the docs directory, VERSION (MAJOR.MINOR), cmake and
cpack.
"""

import glob
import os
import subprocess
import sys
import tempfile
import zipfile


def documents(docs):
    """The README's companions: every page of the docs directory, as
    (name in a package relative to the README, source path)."""
    pages = sorted(name for name in os.listdir(docs) if name.endswith(".md"))
    assert pages, docs
    return [("docs/" + name, os.path.join(docs, name)) for name in pages]


def installed(docs):
    return sorted(["bin/kavelo", "bin/kavelo-dump", "share/doc/kavelo/README.md",
                   "share/man/man1/kavelo-dump.1", "share/man/man1/kavelo.1"] +
                  ["share/doc/kavelo/" + name for name, _ in documents(docs)])


def check_win32(script, exe, dump, readme, docs, version):
    archive = subprocess.run([script], check=True, capture_output=True,
                             text=True).stdout.strip()
    assert archive.endswith("kavelo-%s-win32.zip" % version), archive
    expected = [("kavelo.exe", exe), ("kavelo-dump.exe", dump),
                ("README.md", readme)] + documents(docs)
    with zipfile.ZipFile(archive) as z:
        names = sorted(name for name in z.namelist() if not name.endswith("/"))
        assert names == sorted(name for name, _ in expected), names
        for name, path in expected:
            assert z.read(name) == open(path, "rb").read(), name


def files_under(root):
    found = []
    for directory, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(directory, name), root))
    return sorted(found)


def check_programs(bin_dir, version, work):
    """kavelo's usage, and a scan that kavelo-dump finds well formed."""
    done = subprocess.run([os.path.join(bin_dir, "kavelo"), "-H"],
                          capture_output=True)
    assert done.returncode == 1, done
    assert done.stderr.startswith(b"kavelo v%s\n" % version.encode()), done
    tree = os.path.join(work, "tree")
    os.makedirs(tree, exist_ok=True)
    with open(os.path.join(tree, "a.txt"), "wb") as f:
        f.write(b"hello")
    table = os.path.join(work, "drives")
    with open(table, "w") as f:
        f.write("C fixed %s\n" % tree)
    env = dict(os.environ, KAVELO_DRIVES=table,
               KAVELO_REGISTRY=os.path.join(work, "none.reg"))
    db = os.path.join(work, "files.dbs")
    subprocess.run([os.path.join(bin_dir, "kavelo"), "-Q", "-LC", "-D", db],
                   env=env, check=True)
    done = subprocess.run([os.path.join(bin_dir, "kavelo-dump"), "-0", db],
                          capture_output=True, check=True)
    assert done.stdout == b"C:\\a.txt\0", done


def check_native(build, docs, version, cmake, cpack):
    with tempfile.TemporaryDirectory(prefix="kavelo-package-") as work:
        prefix = os.path.join(work, "prefix")
        subprocess.run([cmake, "--install", build, "--prefix", prefix],
                       check=True, capture_output=True)
        assert files_under(prefix) == installed(docs), files_under(prefix)
        check_programs(os.path.join(prefix, "bin"), version, work)

        output = os.path.join(work, "deb")
        subprocess.run([cpack, "-G", "DEB", "-B", output, "--config",
                        os.path.join(build, "CPackConfig.cmake")],
                       check=True, capture_output=True, cwd=build)
        debs = glob.glob(os.path.join(output, "*.deb"))
        assert len(debs) == 1, debs
        fields = subprocess.run(["dpkg-deb", "-f", debs[0], "Package",
                                 "Version"], check=True, capture_output=True,
                                text=True).stdout
        assert fields == "Package: kavelo\nVersion: %s.0\n" % version, fields
        root = os.path.join(work, "root")
        subprocess.run(["dpkg-deb", "-x", debs[0], root], check=True)
        expected = ["usr/" + name for name in installed(docs)]
        assert files_under(root) == expected, files_under(root)
        check_programs(os.path.join(root, "usr", "bin"), version, work)


if sys.argv[1] == "win32":
    check_win32(*sys.argv[2:8])
else:
    check_native(*sys.argv[2:7])
print("1 passed, 0 failed")

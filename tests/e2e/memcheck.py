"""Runs the native kavelo under valgrind's memcheck over a few thousand files
on two drives, its settings from a registry file: no error, and no block
definitely or indirectly lost."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Database, registry_file  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kavelo-memcheck-")
    try:
        # Long names: the records fill two blocks.
        drives = {"K": os.path.join(work, "k"), "D": os.path.join(work, "d")}
        count = 0
        for letter, root in drives.items():
            for d in range(30):
                directory = os.path.join(root, "dir%02d" % d, "inner")
                os.makedirs(directory)
                for f in range(50):
                    name = "%s%03d" % ("n" * 120, f)
                    open(os.path.join(directory, name), "wb").close()
                    count += 1
        os.symlink(os.path.join(drives["K"], "dir00"),
                   os.path.join(drives["K"], "link"))
        count += 50
        table = os.path.join(work, "drives")
        with open(table, "w") as f:
            for letter, root in drives.items():
                f.write("%s fixed %s\n" % (letter, root))
        database = os.path.join(work, "files.dbs")
        registry = os.path.join(work, "user.reg")
        with open(registry, "w") as f:
            f.write(registry_file({"DatabaseFile": database, "Drives": "kd"}))
        env = dict(os.environ, KAVELO_DRIVES=table, KAVELO_REGISTRY=registry)
        command = ["valgrind", "--quiet", "--error-exitcode=1",
                   "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
                   os.path.abspath(options.program), "-Tc", "memcheck", "-Q"]
        done = subprocess.run(command, env=env, cwd=work, timeout=600)
        if done.returncode != 0:
            print("valgrind: exit code %d" % done.returncode)
            return 1
        with open(database, "rb") as f:
            db = Database(f.read())
        if db.letters != b"KD" or len(db.records) != count:
            print("database: letters %r, %d records of %d" % (
                db.letters, len(db.records), count))
            return 1
        print("memcheck: %d files, 0 errors, nothing lost" % count)
        return 0
    finally:
        shutil.rmtree(work, True)


if __name__ == "__main__":
    sys.exit(main())

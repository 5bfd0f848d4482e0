"""Makes the benchmark's file trees, the same every time for the same size.

A tree has about `files` files, about 20 to a directory with a heavy tail (a
few directories hold thousands), a few hidden (dot) files and directories,
symbolic links to files, to a link, to directories above them (never
entered), to one leaf directory elsewhere (entered), and one dangling link;
a chain of long names whose last directory is too deep for a 259-character
search pattern.  Files are sparse: sizes run from empty to past 4 GiB
without using the disk.  Times spread over decades, mostly inside 1970..2038,
with a few on the edges the database format cares about.

A tree is made once under its root; a stamp beside it holds the hash of this
file and the parameters, and the tree is made anew only when that changes.
"""

import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

LETTERS = "abcdefghijklmnopqrstuvwxyz"
EXTENSIONS = ["txt", "c", "h", "cpp", "py", "jpg", "png", "pdf", "doc", "dat",
              "log", "html", "js", "o", "zip", "mp3", "bin", "cfg", "md", "xml"]
# Windows-form length left for a file name below the deepest directory.
NAME_ROOM = 40
MAX_DEPTH = 14

YEAR = 365 * 86400
T1975 = 157766400
T2036 = 2082758400
# Times on the edges the stored form distinguishes (file systems clamp what
# they cannot hold, so the same on every run).
EDGE_TIMES = [-2 ** 31, -2208988800 - 3600, -86400 * 365 * 30, -1, 0, 1,
              3599, 3600, 2 ** 31 - 1 - 14 * 3600, 2 ** 31 - 1 - 3600,
              2 ** 31 - 1, 2 ** 31, 2 ** 31 + 14 * 3600, 2 ** 32, 4102444800]


def word(rng, low, high):
    return "".join(rng.choice(LETTERS) for _ in range(rng.randint(low, high)))


def file_time(rng):
    pick = rng.random()
    if pick < 0.03:
        seconds = rng.randrange(-2 ** 31, 0)  # 1901..1969
    elif pick < 0.06:
        seconds = rng.randrange(2 ** 31, 4102444800)  # 2038..2100
    elif pick < 0.5:
        seconds = rng.randrange(T1975, T2036)
    else:  # most files are recent
        seconds = rng.randrange(T2036 - 25 * YEAR, T2036 - 10 * YEAR)
    return seconds * 10 ** 9 + rng.randrange(10 ** 9)


def file_size(rng):
    pick = rng.random()
    if pick < 0.05:
        return 0
    if pick < 0.052:
        return 2 ** 32 + rng.randrange(2 ** 34)  # only the low 32 bits stay
    return int(10 ** rng.uniform(0, 9.5))


def plan(files, seed):
    """Directories, files and links of the tree, as relative paths."""
    rng = random.Random(seed)
    dir_count = max(4, files // 20)
    # Each directory: (relative path, depth, Windows-form length below K:).
    dirs = [("", 0, 2)]
    children = [0]
    hidden_dir = [False]
    for _ in range(1, dir_count):
        while True:
            parent = rng.randrange(len(dirs))
            path, depth, length = dirs[parent]
            name = word(rng, 3, 10) + "%x" % children[parent]
            if rng.random() < 0.005:
                name = "." + name
            if depth < MAX_DEPTH and length + 1 + len(name) + NAME_ROOM < 250:
                break
        children[parent] += 1
        children.append(0)
        hidden_dir.append(hidden_dir[parent] or name.startswith("."))
        dirs.append((os.path.join(path, name), depth + 1,
                     length + 1 + len(name)))

    # Files go to directories in proportion to Pareto weights: most hold a
    # handful, a few thousands; a tenth hold none.
    weights = [0.0 if rng.random() < 0.1 else min(rng.paretovariate(1.2), 1500)
               for _ in dirs]
    owners = rng.choices(range(len(dirs)), weights=weights, k=files)
    counts = [0] * len(dirs)
    entries = []  # (directory index, name, size, atime ns, mtime ns)
    for owner in owners:
        name = "%s_%x.%s" % (word(rng, 2, 12), counts[owner],
                             rng.choice(EXTENSIONS))
        counts[owner] += 1
        if rng.random() < 0.005:
            name = "." + name
        mtime = file_time(rng)
        atime = mtime + rng.randrange(5 * YEAR) * 10 ** 9
        entries.append((owner, name, file_size(rng), atime, mtime))
    for i, edge in enumerate(EDGE_TIMES[:len(entries)]):
        owner, name, size, _, _ = entries[i]
        other = EDGE_TIMES[(i + 5) % len(EDGE_TIMES)]
        entries[i] = (owner, name, size, other * 10 ** 9, edge * 10 ** 9)

    def visible(entry):
        return not hidden_dir[entry[0]] and not entry[1].startswith(".")

    shown = [e for e in entries if visible(e)]
    has_subdirs = {os.path.dirname(d[0]) for d in dirs}
    leaves = [i for i, d in enumerate(dirs)
              if i and d[0] not in has_subdirs and counts[i] and
              not hidden_dir[i] and 2 <= counts[i] <= 30]
    leaf = dirs[rng.choice(leaves)][0] if leaves else None

    # Links: (directory holding it, name, target relative to that directory).
    links = []
    link_dirs = [i for i in range(len(dirs))
                 if not hidden_dir[i] and dirs[i][0] != leaf and
                 dirs[i][2] + 30 < 250]
    for k in range(max(3, files // 2000)):
        holder = dirs[rng.choice(link_dirs)][0]
        target = rng.choice(shown)
        target_path = os.path.join(dirs[target[0]][0], target[1])
        links.append((holder, "lnf_%x" % k,
                      os.path.relpath(target_path, holder or ".")))
        if k % 4 == 0:  # a link to that link
            links.append((holder, "lnl_%x" % k, "lnf_%x" % k))
    for k in range(max(3, files // 20000)):
        index = rng.choice(link_dirs)
        holder, depth, _ = dirs[index]
        kind = k % 3
        if kind == 0 or depth == 0:
            target = "."
        elif kind == 1:
            target = ".."
        else:
            target = os.path.join(*[".."] * depth)
        links.append((holder, "lnd_%x" % k, target))
    holder = dirs[rng.choice(link_dirs)][0]
    links.append((holder, "ln_gone", "no-such-file"))
    # A link to a directory off the current path is entered: the leaf's
    # files are met twice.
    if leaf is not None:
        holders = [dirs[i][0] for i in link_dirs
                   if i and not (leaf + "/").startswith(dirs[i][0] + "/")]
        if holders:
            holder = rng.choice(holders)
            links.append((holder, "ln_side",
                          os.path.relpath(leaf, holder or ".")))
    return dirs, entries, links


def deep_corner(rng):
    """A chain of long directory names: the third cannot be searched, and
    beside it the last that can (its `K:\\...\\*.*` is 259 characters) and
    the first that cannot (260)."""
    first = "long_" + "a" * 115
    second = "b" * 120
    third = "c" * 20
    made = [(first, "", 3), (os.path.join(first, second), "d" * 96 + ".txt", 2),
            (os.path.join(first, second, third), "", 3),
            (os.path.join(first, second, "e" * 10), "", 1),
            (os.path.join(first, second, "g" * 11), "", 1)]
    files = []
    for directory, special, count in made:
        for k in range(count):
            files.append((directory, "f%d.dat" % k))
        if special:
            files.append((directory, special))
    return [d for d, _, _ in made], [
        (d, n, file_size(rng), file_time(rng) + YEAR * 10 ** 9,
         file_time(rng)) for d, n in files]


def make_file(dir_fd, name, size, atime, mtime):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644,
                 dir_fd=dir_fd)
    try:
        if size:
            os.ftruncate(fd, size)  # sparse: no blocks used
        os.utime(fd, ns=(atime, mtime))
    finally:
        os.close(fd)


def build(root, files, seed):
    dirs, entries, links = plan(files, seed)
    for path, _, _ in dirs[1:]:
        os.mkdir(os.path.join(root, path))
    extra_dirs, extra_files = deep_corner(random.Random(seed + 1))
    for path in extra_dirs:
        os.mkdir(os.path.join(root, path))
    by_dir = {}
    for owner, name, size, atime, mtime in entries:
        by_dir.setdefault(dirs[owner][0], []).append((name, size, atime, mtime))
    for path, name, size, atime, mtime in extra_files:
        by_dir.setdefault(path, []).append((name, size, atime, mtime))
    for path, items in by_dir.items():
        dir_fd = os.open(os.path.join(root, path), os.O_RDONLY | os.O_DIRECTORY)
        try:
            for name, size, atime, mtime in items:
                make_file(dir_fd, name, size, atime, mtime)
        finally:
            os.close(dir_fd)
    for holder, name, target in links:
        path = os.path.join(root, holder, name)
        os.symlink(target, path)
        if name == "ln_gone":
            # A dangling link is recorded with its own times.  Its access
            # time lies ahead, so following it never moves that time under
            # relatime: every walker sees the same.
            os.utime(path, ns=(2114380800 * 10 ** 9, 978307200 * 10 ** 9),
                     follow_symlinks=False)


def stamp_of(files, seed):
    with open(__file__, "rb") as source:
        digest = hashlib.sha256(source.read())
    digest.update(json.dumps({"files": files, "seed": seed}).encode())
    return digest.hexdigest()


def ensure(root, files, seed=1, log=print):
    """Makes the tree at `root` unless its stamp says it is already there.
    Returns True when it was made now."""
    stamp_path = root + ".stamp"
    want = stamp_of(files, seed)
    try:
        with open(stamp_path) as f:
            if f.read().strip() == want and os.path.isdir(root):
                return False
    except FileNotFoundError:
        pass
    log("making tree %s (%d files)" % (root, files))
    for old in (root, root + ".tmp"):
        if os.path.lexists(old):
            subprocess.run(["rm", "-rf", old], check=True)
    if os.path.exists(stamp_path):
        os.remove(stamp_path)
    os.makedirs(root + ".tmp")
    build(root + ".tmp", files, seed)
    os.rename(root + ".tmp", root)
    with open(stamp_path, "w") as f:
        f.write(want + "\n")
    return True


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: make_tree.py ROOT FILES")
    ensure(sys.argv[1], int(sys.argv[2]))

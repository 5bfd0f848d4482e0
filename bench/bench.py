"""kavelo's benchmark; scripts/bench is the way in and tells the options.

Times kavelo against a bare reference walker (the system-call floor, whose
database must equal kavelo's byte for byte but for the database time), a
parallel floor (the same records in any order, from one thread per processor
the run may use) and against find, bfs and fd on generated trees; under
Wine, kavelo.exe against a bare FindFirstFileA walker.  Medians of wall and
processor time come from hyperfine, peak memory from wait4, and the tables
go to the terminal and to results.md.
"""

import argparse
import collections
import datetime
import glob
import json
import os
import platform
import shlex
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import make_tree

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
TREES = {"tiny": 300, "200k": 200_000, "1m": 1_000_000}
LETTER = "K"
# The databases are compared under the zone of the run and under two far
# from UTC, where the local reading crosses 2038 before UTC does.
CHECK_ZONES = [None, "XXX-14", "XXX+12"]
SIGNATURE = b"VANTOREX\x04"
# A walk that runs away (out of its tree, round a loop) fails the check
# instead of filling the disk.
CHECK_TIMEOUT = 900
TINY_TIMEOUT = 60
FIELDS = r"%p\t%T@\t%C@\t%A@\t%s\n"
DROP_CACHES = "sh -c 'sync; echo 3 > /proc/sys/vm/drop_caches'"
# Before each warm run: the reference walker, find and bfs leave their output
# to the kernel's write-back, which would otherwise take its time from
# whichever tool runs next (on two CPUs, a parallel walk after the reference
# walker on the 1m tree took a fifth longer than after itself).
SETTLE = "sync"
COMPARED = ("kavelo serial", "kavelo parallel", "kavelo serial, before",
            "kavelo parallel, before", "reference walker",
            "reference, flushed",
            "kavelo.exe", "reference walker (Win32)")
# Compared as a set of records: the parallel floor writes them in the order
# its threads found them.
COMPARED_UNORDERED = ("parallel floor", "parallel floor, flushed")


class BenchError(Exception):
    pass


def log(text):
    print("== " + text, flush=True)


def run(argv, **kwargs):
    kwargs.setdefault("check", True)
    return subprocess.run(argv, **kwargs)


def run_captured(argv, env, timeout=None):
    """Runs with standard output and error to files, not pipes: programs
    that a wine start leaves running would hold a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL,
                              stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        done.stdout = out.read()
        done.stderr = err.read()
    return done


class Tool:
    """One program to time: its command line, the file it writes (when that
    file is compared), and a note for the table."""

    def __init__(self, name, argv, output=None, note=""):
        self.name = name
        self.argv = argv
        self.output = output
        self.note = note

    def command(self):
        return shlex.join(self.argv)


# -- building -----------------------------------------------------------------

def build_preset(preset, target, program):
    if not os.path.exists(os.path.join(TOP, "build", preset, "build.ninja")):
        run(["cmake", "--preset", preset], cwd=TOP, stdout=subprocess.DEVNULL)
    run(["cmake", "--build", "--preset", preset, "--target", target], cwd=TOP,
        stdout=subprocess.DEVNULL)
    return os.path.join(TOP, "build", preset, program)


def compile_if_stale(compiler, source, binary, flags):
    source = os.path.join(HERE, source)
    # The headers of bench/ count as the source's own.
    inputs = [source] + glob.glob(os.path.join(HERE, "*.h"))
    if (os.path.exists(binary) and
            os.path.getmtime(binary) >= max(map(os.path.getmtime, inputs))):
        return binary
    os.makedirs(os.path.dirname(binary), exist_ok=True)
    run([compiler, "-O2", "-std=c++17", "-Wall", "-Wextra"] + flags +
        [source, "-o", binary])
    return binary


def build_floors(work):
    """The Linux reference walker and the parallel floor."""
    compiler = os.environ.get("CXX", "g++")
    return (compile_if_stale(compiler, "ref_walk.cpp",
                             os.path.join(work, "bin", "ref_walk"), []),
            compile_if_stale(compiler, "ref_walk_parallel.cpp",
                             os.path.join(work, "bin", "ref_walk_parallel"),
                             ["-pthread"]))


# -- databases ----------------------------------------------------------------

def header_time_offset(data):
    if not data.startswith(SIGNATURE):
        raise BenchError("not a database: %r" % data[:16])
    at = len(SIGNATURE)
    for _ in range(3):
        at = data.index(b"\0", at) + 1
    return at


def masked(data):
    """The database without its 4-byte database time."""
    at = header_time_offset(data)
    return data[:at] + b"\0\0\0\0" + data[at + 4:]


def records(data):
    at = header_time_offset(data) + 4
    found = []
    while at < len(data):
        end = data.index(b"\0", at)
        found.append((data[at:end],) + struct.unpack_from("<iiiI", data, end + 1))
        at = end + 17
    return found


def header_difference(a, b):
    """Words on how two databases' headers differ, or None."""
    if masked(a)[:header_time_offset(a)] != masked(b)[:header_time_offset(b)]:
        return "headers differ: %r / %r" % (a[:40], b[:40])
    return None


def difference(name_a, a, name_b, b):
    """Words on where two databases part, for the failure message."""
    headers = header_difference(a, b)
    if headers:
        return headers
    ra, rb = records(a), records(b)
    for i, (x, y) in enumerate(zip(ra, rb)):
        if x != y:
            return "record %d differs:\n  %s: %r\n  %s: %r" % (
                i, name_a, x, name_b, y)
    return "%s has %d records, %s %d" % (name_a, len(ra), name_b, len(rb))


def unordered_difference(name_a, a, name_b, b):
    """Words on how two databases differ when their records may come in any
    order, or None when they do not."""
    headers = header_difference(a, b)
    if headers:
        return headers
    ra, rb = collections.Counter(records(a)), collections.Counter(records(b))
    if ra == rb:
        return None
    return "only %s has %s; only %s has %s" % (
        name_a, list((ra - rb).elements())[:3],
        name_b, list((rb - ra).elements())[:3])


def check_equal(tools, env, zones, timeout):
    """Runs every compared tool under each zone; their databases must be
    equal but for the database time.  Returns the number of records."""
    compared = [t for t in tools
                if t.name in COMPARED + COMPARED_UNORDERED]
    count = None
    for zone in zones:
        zone_env = dict(env)
        if zone is not None:
            zone_env["TZ"] = zone
        first = None
        for tool in compared:
            if os.path.exists(tool.output):
                os.remove(tool.output)
            try:
                done = run_captured(tool.argv, zone_env, timeout=timeout)
            except subprocess.TimeoutExpired:
                raise BenchError("%s took over %d s" % (tool.name, timeout))
            if done.returncode != 0:
                raise BenchError("%s failed (exit %d): %s" % (
                    tool.name, done.returncode, done.stderr.decode()[-2000:]))
            with open(tool.output, "rb") as f:
                data = f.read()
            if first is None:
                first = (tool.name, data)
                count = len(records(data))
                if count == 0:
                    raise BenchError("%s recorded no file" % tool.name)
            elif tool.name in COMPARED_UNORDERED:
                problem = unordered_difference(first[0], first[1], tool.name,
                                               data)
                if problem:
                    raise BenchError(
                        "RECORDS DIFFER (TZ=%s), in any order: %s" % (
                            zone or os.environ.get("TZ", "unset"), problem))
            elif masked(data) != masked(first[1]):
                raise BenchError(
                    "DATABASES DIFFER (TZ=%s): %s and %s\n%s" % (
                        zone or os.environ.get("TZ", "unset"), first[0],
                        tool.name, difference(first[0], first[1], tool.name,
                                              data)))
        log("equal databases (%s), TZ=%s: %d records" % (
            ", ".join(t.name + (" (any order)" if t.name in COMPARED_UNORDERED
                                else "") for t in compared),
            zone or os.environ.get("TZ", "unset"), count))
    return count


# -- timing -------------------------------------------------------------------

def peak_rss_kib(tools, env, work, accept=(0,)):
    """Maximum resident set of one run of each tool, in KiB; a tool may end
    with an exit code of `accept`."""
    wrapper = compile_if_stale(os.environ.get("CXX", "g++"), "peak_rss.cpp",
                               os.path.join(work, "bin", "peak_rss"),
                               ["-static"])
    result = os.path.join(work, "peak_rss.txt")
    peaks = {}
    for tool in tools:
        done = run([wrapper, result] + tool.argv, env=env, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if done.returncode not in accept:
            raise BenchError("%s failed (exit %d)" % (tool.name,
                                                      done.returncode))
        with open(result) as f:
            peaks[tool.name] = int(f.read())
    return peaks


def hyperfine(tools, env, runs, warmup, json_path, prepare=SETTLE,
              ignore_failure=False):
    """Times every tool `runs` times after `warmup` untimed rounds.  The runs
    go in rounds, one hyperfine call per round timing each tool once, the
    order turning from round to round: on shared cores a busy minute then
    falls on every tool alike.  `prepare` runs, untimed, before each run.
    The rounds' exports are joined into `json_path`.  With `ignore_failure` a
    tool may end with any exit code (kavelo-dump --match that finds nothing
    ends with 1)."""
    times = {tool.name: [] for tool in tools}
    cpu = {tool.name: [] for tool in tools}
    for number in range(warmup + runs):
        turn = number % len(tools)
        order = tools[turn:] + tools[:turn]
        argv = ["hyperfine", "-N", "--style", "basic", "--runs", "1",
                "--export-json", json_path]
        if ignore_failure:
            argv.append("--ignore-failure")
        if prepare:
            argv += ["--prepare", prepare]
        for tool in order:
            argv += ["-n", tool.name, tool.command()]
        log("round %d of %d%s" % (number + 1, warmup + runs,
                                  " (warm-up)" if number < warmup else ""))
        run(argv, env=env, stdout=subprocess.DEVNULL)
        if number < warmup:
            continue
        with open(json_path) as f:
            for result in json.load(f)["results"]:
                times[result["command"]].extend(result["times"])
                # One run a round: its user and system time.
                cpu[result["command"]].append(result["user"] +
                                              result["system"])
    timed = {}
    for name, values in times.items():
        timed[name] = {
            "command": name, "times": values,
            "median": statistics.median(values),
            "cpu": statistics.median(cpu[name]),
            "mean": statistics.fmean(values),
            "stddev": statistics.stdev(values) if len(values) > 1 else 0.0,
            "min": min(values), "max": max(values)}
    with open(json_path, "w") as f:
        json.dump({"results": list(timed.values())}, f, indent=1)
    return timed


def simple_timer(tools, env, timeout, accept=(0,)):
    """One run each with a plain clock, where hyperfine is not needed; a tool
    may end with an exit code of `accept`."""
    timed = {}
    for tool in tools:
        start = time.perf_counter()
        done = run(tool.argv, env=env, stdout=subprocess.DEVNULL,
                   timeout=timeout, check=False)
        if done.returncode not in accept:
            raise BenchError("%s failed (exit %d)" % (tool.name,
                                                      done.returncode))
        seconds = time.perf_counter() - start
        timed[tool.name] = {"median": seconds, "mean": seconds, "stddev": 0.0,
                            "min": seconds, "max": seconds}
    return timed


def drop_caches_works():
    if os.geteuid() != 0:
        return False
    try:
        os.sync()
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        return True
    except OSError:
        return False


# -- reports ------------------------------------------------------------------

class Report:
    """The tables, printed and kept in a file that grows with each line, so
    that a later failure loses none of them."""

    def __init__(self, path):
        self.lines = []
        self.path = path

    def add(self, text=""):
        self.lines.append(text)
        print(text, flush=True)
        with open(self.path, "w") as f:
            f.write("\n".join(self.lines) + "\n")

    def table(self, title, tools, timed, rss, files, reference):
        self.add("")
        self.add("### " + title)
        self.add("")
        self.add("| program | median s | mean ± sd s | × reference | "
                 "CPU s | files/s | max RSS MiB | note |")
        self.add("|---|---:|---:|---:|---:|---:|---:|---|")
        floor = timed[reference]["median"] if reference in timed else None
        for tool in tools:
            if tool.name not in timed:
                continue
            t = timed[tool.name]
            median = t["median"]
            ratio = "%.2f" % (median / floor) if floor else "-"
            memory = "%.1f" % (rss[tool.name] / 1024) if tool.name in rss else "-"
            cpu = "%.3f" % t["cpu"] if "cpu" in t else "-"
            self.add("| %s | %.3f | %.3f ± %.3f | %s | %s | %s | %s | %s |" % (
                tool.name, median, t["mean"], t["stddev"] or 0.0, ratio, cpu,
                "{:,}".format(int(files / median)), memory, tool.note))


def version_of(argv):
    try:
        done = run_captured(argv, None, timeout=60)
        text = (done.stdout or done.stderr).decode(errors="replace")
        return text.strip().splitlines()[0] if text.strip() else "?"
    except (OSError, subprocess.TimeoutExpired):
        return "not installed"


def machine_lines(wine):
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    lines = [
        "Run %s on %s, %d CPUs (%s), kernel %s." % (
            datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            platform.node(), os.cpu_count(), cpu, platform.release()),
        "Tools: %s; %s; %s; %s." % (
            version_of(["hyperfine", "--version"]),
            version_of(["find", "--version"]),
            version_of([fd_program() or "fd", "--version"]),
            version_of(["bfs", "--version"])),
    ]
    if wine:
        lines.append("Wine: %s." % version_of([wine_loader(), "--version"]))
    lines.append("The machine's cores may be shared with other work: figures "
                 "are noisy, ratios steadier than seconds.")
    return lines


# -- native -------------------------------------------------------------------

def fd_program():
    return shutil.which("fdfind") or shutil.which("fd")


def native_tools(kavelo, floors, root, out, peers, baseline=None):
    ref, floor = floors
    # ref_walk_parallel takes up to 64.
    threads = str(min(len(os.sched_getaffinity(0)), 64))

    def path(name):
        return os.path.join(out, name)

    tools = [
        Tool("kavelo serial", ["env", "KAVELO_THREADS=0", kavelo, "-L" + LETTER,
                               "-D", path("kavelo-serial.dbs"), "-Q"],
             path("kavelo-serial.dbs"), "KAVELO_THREADS=0"),
        Tool("kavelo parallel", [kavelo, "-L" + LETTER, "-D",
                                 path("kavelo-parallel.dbs"), "-Q"],
             path("kavelo-parallel.dbs"), "default threads"),
    ]
    if baseline:
        tools += [
            Tool("kavelo serial, before",
                 ["env", "KAVELO_THREADS=0", baseline, "-L" + LETTER, "-D",
                  path("before-serial.dbs"), "-Q"],
                 path("before-serial.dbs"), "--baseline, KAVELO_THREADS=0"),
            Tool("kavelo parallel, before",
                 [baseline, "-L" + LETTER, "-D", path("before-parallel.dbs"),
                  "-Q"],
                 path("before-parallel.dbs"), "--baseline, default threads"),
        ]
    tools += [
        Tool("reference walker", [ref, root, LETTER, path("reference.dbs")],
             path("reference.dbs"), "the floor: getdents64 + statx"),
        Tool("reference, flushed", [ref, root, LETTER,
                                    path("reference-flushed.dbs"), "flush"],
             path("reference-flushed.dbs"),
             "the floor, written as kavelo writes: temporary file, fsync, "
             "rename"),
        Tool("parallel floor",
             [floor, root, LETTER, path("parallel-floor.dbs"), threads],
             path("parallel-floor.dbs"),
             "the floor's work on %s threads, unordered, records held" %
             threads),
        Tool("parallel floor, flushed",
             [floor, root, LETTER, path("parallel-floor-flushed.dbs"),
              threads, "flush"],
             path("parallel-floor-flushed.dbs"),
             "the same, written as kavelo writes"),
    ]
    if not peers:
        return tools
    tools.append(Tool("find -printf", [
        "find", root, "-name", ".*", "-prune", "-o", "-fprintf",
        path("find.txt"), FIELDS], note="GNU find, same fields to a file"))
    if shutil.which("bfs"):
        tools.append(Tool("bfs -printf", [
            "bfs", root, "-nohidden", "-fprintf", path("bfs.txt"), FIELDS],
            note="same fields to a file"))
    fd = fd_program()
    if fd:
        tools.append(Tool("fd", [fd, "--no-ignore", ".", root],
                          note="names only (no stat), to /dev/null"))
    return tools


def native_env(work, drives):
    env = dict(os.environ)
    env.pop("KAVELO_THREADS", None)
    env["KAVELO_DRIVES"] = drives
    # No file there: no stored settings reach the run.
    env["KAVELO_REGISTRY"] = os.path.join(work, "no-such-registry.reg")
    return env


def prepare_tree(work, name):
    root = os.path.join(work, "trees", name)
    make_tree.ensure(root, TREES[name], log=log)
    drives = os.path.join(work, "drives-" + name)
    with open(drives, "w") as f:
        f.write("%s fixed %s\n" % (LETTER, root))
    out = os.path.join(work, "out", name)
    os.makedirs(out, exist_ok=True)
    return root, drives, out


def bench_native(args, report, work, kavelo, floors, name, cold):
    root, drives, out = prepare_tree(work, name)
    env = native_env(work, drives)
    tools = native_tools(kavelo, floors, root, out, peers=True,
                         baseline=args.baseline)
    files = check_equal(tools, env, CHECK_ZONES, CHECK_TIMEOUT)
    timed = hyperfine(tools, env, args.runs, 1,
                      os.path.join(work, "hyperfine-%s-warm.json" % name))
    rss = peak_rss_kib(tools, env, work)
    report.table("%s tree (%s files recorded), warm: median of %d runs after "
                 "a warm-up round" % (name, "{:,}".format(files), args.runs),
                 tools, timed, rss, files, "reference walker")
    if cold:
        timed = hyperfine(tools, env, args.cold_runs, 0,
                          os.path.join(work, "hyperfine-%s-cold.json" % name),
                          prepare=DROP_CACHES)
        report.table("%s tree, cold (page cache dropped before each run): "
                     "median of %d runs" % (name, args.cold_runs),
                     tools, timed, {}, files, "reference walker")


def bench_dump(args, report, work, dump, name):
    """kavelo-dump over the tree's database, against grep for a text that does
    not occur (the pass over the file) and cat (the bytes alone)."""
    _, _, out = prepare_tree(work, name)
    db = os.path.join(out, "kavelo-parallel.dbs")
    listing = os.path.join(out, "kavelo-dump.txt")
    with open(listing, "wb") as f:
        run([dump, db], stdout=f)
    absent = "kavelo-absent-text"
    tools = [
        Tool("grep -c -a -F", ["grep", "-c", "-a", "-F", absent, db],
             note="LC_ALL=C, a text that does not occur"),
        Tool("kavelo-dump --check", [dump, "--check", db]),
        Tool("kavelo-dump --summary", [dump, "--summary", db]),
        Tool("kavelo-dump --match", [dump, "--match", absent + "*", db],
             note="matches nothing"),
        Tool("cat database", ["cat", db], note="to /dev/null"),
        Tool("cat listing", ["cat", listing],
             note="the listing's %s bytes" % "{:,}".format(
                 os.path.getsize(listing))),
        Tool("kavelo-dump", [dump, db], note="the listing, to /dev/null"),
    ]
    env = dict(os.environ, LC_ALL="C")
    # Nothing here writes a file: no write-back to settle between the runs.
    timed = hyperfine(tools, env, args.runs, 1,
                      os.path.join(work, "hyperfine-%s-dump.json" % name),
                      prepare=None, ignore_failure=True)
    rss = peak_rss_kib([t for t in tools if t.name != "grep -c -a -F"], env,
                       work)
    files = sum(1 for _ in open(listing, "rb")) - 5
    report.table("kavelo-dump on the %s tree's database (%s bytes), warm: "
                 "median of %d runs" % (name, "{:,}".format(os.path.getsize(db)),
                                        args.runs),
                 tools, timed, rss, files, "grep -c -a -F")
    floor = timed["cat database"]["median"] + timed["cat listing"]["median"]
    report.add("")
    report.add("Listing against cat of the database plus cat of its text: "
               "%.2f×" % (timed["kavelo-dump"]["median"] / floor))


# -- kavelo-dump --diff ---------------------------------------------------------

def read_database(path):
    """The header's bytes and the records (path, write, create, access,
    size) of a database."""
    with open(path, "rb") as f:
        data = f.read()
    at = 9
    for _ in range(3):
        at = data.index(b"\0", at) + 1
    header, at = data[:at + 4], at + 4
    records = []
    while at < len(data):
        end = data.index(b"\0", at)
        records.append((data[at:end],) + struct.unpack_from("<iiiI", data,
                                                            end + 1))
        at = end + 17
    return header, records


def write_database(path, header, records):
    with open(path, "wb") as f:
        f.write(header)
        f.write(b"".join(r[0] + b"\0" + struct.pack("<iiiI", *r[1:])
                         for r in records))


def diff_databases(db, out):
    """From the tree's database, the NEW databases of the two cases: (a) the
    same drives a night later, one record in a hundred removed, changed
    (last-write and size) or followed by an added one, in the same order;
    (b) the same records sorted by size, an order unrelated to the walk's.
    Returns their paths and the differences (a) must give (b gives none)."""
    header, records = read_database(db)
    night, changes = [], collections.Counter()
    for number, record in enumerate(records):
        kind = number % 300
        if kind == 0:
            changes["removed"] += 1
            continue
        if kind == 100:
            changes["changed"] += 1
            record = (record[0], record[1] + 3600) + record[2:4] + (
                record[4] + 1,)
        night.append(record)
        if kind == 200:
            changes["added"] += 1
            night.append((record[0] + b".new",) + record[1:])
    same, unrelated = (os.path.join(out, "diff-same-order.dbs"),
                       os.path.join(out, "diff-unrelated-order.dbs"))
    write_database(same, header, night)
    write_database(unrelated, header, sorted(records, key=lambda r: (r[4], r)))
    return same, unrelated, changes


def check_diff(dump, db, same, unrelated, changes):
    """The differences kavelo-dump finds are the ones made."""
    done = run([dump, "--diff", "--summary", db, same], check=False,
               capture_output=True)
    expected = "".join(["files added: %d " % changes["added"],
                        "files removed: %d " % changes["removed"],
                        "files changed: %d " % changes["changed"]])
    found = "".join(line.split("(")[0] for line in
                    done.stdout.decode().splitlines())
    if done.returncode != 1 or found != expected:
        raise BenchError("kavelo-dump --diff, same order: %r (exit %d), "
                         "not %r" % (found, done.returncode, expected))
    done = run([dump, "--diff", db, unrelated], check=False,
               capture_output=True)
    if (done.returncode, done.stdout) != (0, b""):
        raise BenchError("kavelo-dump --diff, unrelated order: exit %d, %r"
                         % (done.returncode, done.stdout[:200]))


def diff_tools(dump, db, same, unrelated, out):
    def gnu_diff(new, name):
        a, b = (os.path.join(out, "diff-%s-%s.txt" % (name, side))
                for side in ("old", "new"))
        return ["sh", "-c", "%s > %s; %s > %s; diff %s %s > /dev/null" % (
            shlex.join([dump, db]), shlex.quote(a), shlex.join([dump, new]),
            shlex.quote(b), shlex.quote(a), shlex.quote(b))]
    return [
        Tool("kavelo-dump --check OLD NEW", [dump, "--check", db, same],
             note="the floor: both files read"),
        Tool("kavelo-dump --diff, same order", [dump, "--diff", db, same],
             note="(a) 1% added, removed or changed"),
        Tool("kavelo-dump --diff, unrelated order",
             [dump, "--diff", db, unrelated], note="(b) sorted by size"),
        Tool("GNU diff of listings, same order", gnu_diff(same, "same"),
             note="kavelo-dump OLD > a; kavelo-dump NEW > b; diff a b"),
        Tool("GNU diff of listings, unrelated order",
             gnu_diff(unrelated, "unrelated"), note="the same, for (b)"),
    ]


def bench_diff(args, report, work, dump, name):
    """kavelo-dump --diff over the tree's database and a NEW one in the same
    order and in an unrelated one, against GNU diff over the two listings."""
    _, _, out = prepare_tree(work, name)
    db = os.path.join(out, "kavelo-parallel.dbs")
    log("databases for --diff")
    same, unrelated, changes = diff_databases(db, out)
    check_diff(dump, db, same, unrelated, changes)
    tools = diff_tools(dump, db, same, unrelated, out)
    env = dict(os.environ, LC_ALL="C")
    timed = hyperfine(tools, env, args.runs, 1,
                      os.path.join(work, "hyperfine-%s-diff.json" % name),
                      prepare=None, ignore_failure=True)
    rss = peak_rss_kib(tools, env, work, accept=(0, 1))
    report_diff(report, name, db, tools, timed, rss,
                "median of %d runs" % args.runs)


def report_diff(report, name, db, tools, timed, rss, runs):
    files = len(read_database(db)[1])
    report.table("kavelo-dump --diff on the %s tree's database (%s records), "
                 "warm: %s" % (name, "{:,}".format(files), runs),
                 tools, timed, rss, files, "kavelo-dump --check OLD NEW")
    floor = timed["kavelo-dump --check OLD NEW"]["median"]
    report.add("")
    for tool, goal in (("kavelo-dump --diff, same order", 1.5),
                       ("kavelo-dump --diff, unrelated order", 6)):
        report.add("- %s: %.2f× the check of both files (goal: at most %g×)"
                   % (tool, timed[tool]["median"] / floor, goal))


def bench_tiny(args, work):
    kavelo = args.kavelo or build_preset("release", "kavelo", "kavelo")
    dump = build_preset("release", "kavelo-dump", "kavelo-dump")
    floors = build_floors(work)
    root, drives, out = prepare_tree(work, "tiny")
    env = native_env(work, drives)
    tools = native_tools(kavelo, floors, root, out, peers=True)
    tools = [t for t in tools if shutil.which(t.argv[0]) or
             os.path.exists(t.argv[0])]
    files = check_equal(tools, env, CHECK_ZONES, TINY_TIMEOUT)
    timed = simple_timer(tools, env, TINY_TIMEOUT)
    rss = peak_rss_kib(tools, env, work)
    report = Report(os.path.join(work, "results-tiny.md"))
    report.table("tiny tree (%d files recorded), one run each" % files,
                 tools, timed, rss, files, "reference walker")
    db = os.path.join(out, "kavelo-parallel.dbs")
    same, unrelated, changes = diff_databases(db, out)
    check_diff(dump, db, same, unrelated, changes)
    tools = diff_tools(dump, db, same, unrelated, out)
    timed = simple_timer(tools, env, TINY_TIMEOUT, accept=(0, 1))
    rss = peak_rss_kib(tools, env, work, accept=(0, 1))
    report_diff(report, "tiny", db, tools, timed, rss, "one run each")


# -- Wine ---------------------------------------------------------------------

# The Win32 programs under test: the 32-bit product, or, on a machine that
# runs no 32-bit code, the same sources built for 64 bits and run by 64-bit
# Wine (figures of the same code, not of the product).
# Never the 32-bit Wine that scripts/wine32-emulated sets up: under QEMU a
# figure measures the emulator, not kavelo.
WIN32_BUILD = {"preset": "release-win32", "bits": 32,
               "compiler": "i686-w64-mingw32-g++-posix",
               "reference": "ref_walk.exe", "loader": "wine", "note": ""}
WIN64_BUILD = {"preset": "release-win64", "bits": 64,
               "compiler": "x86_64-w64-mingw32-g++-posix",
               "reference": "ref_walk64.exe",
               "loader": "/usr/lib/wine/wine64",
               "note": ", 64-bit builds (this machine runs no 32-bit code)"}
win_build = WIN32_BUILD


def wine_loader():
    return os.environ.get("WINE", win_build["loader"])


def choose_win_build(work):
    """The 32-bit build where Wine runs a 32-bit program, else the 64-bit
    one where 64-bit Wine runs a 64-bit one; None, or why not."""
    global win_build
    sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
    import wine_or_skip
    env = dict(os.environ, WINEPREFIX=os.path.join(work, "wine"),
               WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=d;mshtml=d")
    problems = []
    for build in (WIN32_BUILD, WIN64_BUILD):
        loader = os.environ.get("WINE", build["loader"])
        if not shutil.which(build["compiler"]):
            problems.append("%s is missing" % build["compiler"])
            continue
        try:
            probe = compile_if_stale(
                build["compiler"], os.path.join(TOP, "tests", "wine_probe.cpp"),
                os.path.join(work, "bin", "wine_probe%d.exe" % build["bits"]),
                ["-static", "-s"])
        except (OSError, subprocess.CalledProcessError) as error:
            problems.append("the probe cannot be built: %s" % error)
            continue
        ok, why = wine_or_skip.probe_runs(loader, probe, build["bits"], env)
        if ok:
            win_build = build
            return None
        problems.append(why)
    return "; ".join(problems)


class Wine:
    """A Wine prefix of the benchmark's own, drive K: linked to the tree and
    Z: to /, its wineserver and programs pinned to CPU 0."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.env = dict(os.environ)
        for key in ("KAVELO_DRIVES", "KAVELO_REGISTRY", "KAVELO_THREADS",
                    "DISPLAY"):
            self.env.pop(key, None)
        # No .NET or HTML engine: a new prefix would offer to download them.
        self.env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree=d;mshtml=d"})

    def pinned(self, *argv):
        return ["taskset", "-c", "0", wine_loader()] + list(argv)

    def server(self, *flags):
        run(["wineserver"] + list(flags), env=self.env, check=False,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def quiet(self, *argv):
        run(self.pinned(*argv), env=self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def setup(self, root):
        os.makedirs(self.prefix, exist_ok=True)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            log("making the Wine prefix %s" % self.prefix)
            self.quiet("cmd", "/c", "exit")
        devices = os.path.join(self.prefix, "dosdevices")
        for letter, target in (("k", root), ("z", "/")):
            link = os.path.join(devices, letter + ":")
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(target, link)
        self.quiet("reg", "add", r"HKLM\Software\Wine\Drives", "/v", "k:",
                   "/d", "hd", "/f", "/reg:64")
        # Drive types are read when the wineserver starts: start it anew,
        # pinned, and keep it for the runs.
        self.server("-k")
        self.server("-w")
        run(["taskset", "-c", "0", "wineserver", "-p"], env=self.env,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Wine's own services start with the first program and stay: start
        # them here, away from any pipe.
        self.quiet("cmd", "/c", "exit")

    def stop(self):
        self.server("-k")

    def runs_32bit(self, program):
        done = run_captured(self.pinned(program), self.env, timeout=300)
        return done.returncode == 2 and b"usage" in done.stderr, done


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def bench_wine(args, report, work, name, kavelo_exe, ref_exe):
    root, _, out = prepare_tree(work, name)
    wine = Wine(os.path.join(work, "wine"))
    try:
        try:
            wine.setup(root)
            works, done = wine.runs_32bit(ref_exe)
            problem = None if works else "exit %d: %s" % (
                done.returncode,
                done.stderr.decode(errors="replace").strip()[-300:])
        except subprocess.CalledProcessError as error:
            problem = "%s exited with %d" % (shlex.join(error.cmd),
                                             error.returncode)
        if problem:
            report.add("")
            report.add("### Wine, %s tree%s" % (name, win_build["note"]))
            report.add("")
            report.add("Wine cannot run the Win32 programs here (%s): no Wine "
                       "figures." % problem)
            return
        tools = [
            Tool("kavelo.exe", wine.pinned(kavelo_exe, "-L" + LETTER, "-D",
                                           windows_path(out + "/kavelo.dbs"),
                                           "-Q"),
                 os.path.join(out, "kavelo.dbs"), "Wine, CPU 0"),
        ]
        if args.baseline_exe:
            tools.append(Tool(
                "kavelo.exe, before",
                wine.pinned(args.baseline_exe, "-L" + LETTER, "-D",
                            windows_path(out + "/kavelo-before.dbs"), "-Q"),
                os.path.join(out, "kavelo-before.dbs"),
                "--baseline-exe, Wine, CPU 0"))
        tools += [
            Tool("reference walker (Win32)", wine.pinned(
                ref_exe, LETTER + ":", windows_path(out + "/reference-win32.dbs")),
                os.path.join(out, "reference-win32.dbs"),
                "FindFirstFileA/FindNextFileA, Wine, CPU 0"),
            Tool("reference, flushed (Win32)", wine.pinned(
                ref_exe, LETTER + ":",
                windows_path(out + "/reference-win32-flushed.dbs"), "flush"),
                os.path.join(out, "reference-win32-flushed.dbs"),
                "the same, written as kavelo writes: temporary file, "
                "FlushFileBuffers, MoveFileEx"),
        ]
        files = check_equal(tools, wine.env, [None], CHECK_TIMEOUT)
        timed = hyperfine(tools, wine.env, args.wine_runs, 1,
                          os.path.join(work, "hyperfine-%s-wine.json" % name))
        rss = peak_rss_kib(tools, wine.env, work)
        report.table("Wine, %s tree (%s files recorded)%s, warm: median of "
                     "%d runs after a warm-up round" % (
                         name, "{:,}".format(files), win_build["note"],
                         args.wine_runs),
                     tools, timed, rss, files, "reference walker (Win32)")
    finally:
        wine.stop()


# -- main ---------------------------------------------------------------------

def parse(argv):
    parser = argparse.ArgumentParser(prog="scripts/bench")
    parser.add_argument("--quick", action="store_true",
                        help="200k tree only, 3 runs, no cold runs")
    parser.add_argument("--tiny", action="store_true",
                        help="a tree of a few hundred files, one run each; "
                             "checks the databases agree")
    parser.add_argument("--trees", default="200k,1m")
    parser.add_argument("--wine-trees", default="200k")
    parser.add_argument("--cold-trees", default="200k")
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--no-cold", action="store_true")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--cold-runs", type=int, default=5)
    parser.add_argument("--wine-runs", type=int, default=5)
    parser.add_argument("--kavelo", help="the native kavelo to time "
                        "(default: build it with the release preset)")
    parser.add_argument("--baseline", help="an earlier native kavelo, timed "
                        "beside the one under test in the same rounds")
    parser.add_argument("--baseline-exe", help="an earlier kavelo.exe, timed "
                        "beside the one under test in the same Wine rounds")
    parser.add_argument("--kavelo-exe", help="the kavelo.exe to time "
                        "(default: build it with the release-win32 preset, or "
                        "release-win64 where no 32-bit code runs)")
    parser.add_argument("--work", default=os.path.join(TOP, "build", "bench"),
                        help="trees, outputs and results (default build/bench)")
    args = parser.parse_args(argv)
    if args.quick:
        args.trees = "200k"
        args.runs = args.cold_runs = args.wine_runs = 3
        args.no_cold = True
    for option in ("trees", "wine_trees", "cold_trees"):
        names = [n for n in getattr(args, option).split(",") if n]
        unknown = [n for n in names if n not in TREES]
        if unknown:
            parser.error("unknown tree %s (known: %s)" % (
                ", ".join(unknown), ", ".join(TREES)))
        setattr(args, option, names)
    return args


def main(argv):
    args = parse(argv)
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    if args.tiny:
        bench_tiny(args, work)
        return 0

    if not shutil.which("hyperfine"):
        raise BenchError("hyperfine is missing (Debian package hyperfine)")
    wine_problem = None if args.no_wine else choose_win_build(work)
    wine = not args.no_wine and wine_problem is None
    log("building")
    kavelo = args.kavelo or build_preset("release", "kavelo", "kavelo")
    dump = build_preset("release", "kavelo-dump", "kavelo-dump")
    floors = build_floors(work)
    if wine:
        try:
            kavelo_exe = args.kavelo_exe or build_preset(
                win_build["preset"], "kavelo", "kavelo.exe")
            ref_exe = compile_if_stale(
                win_build["compiler"], "ref_walk_win32.cpp",
                os.path.join(work, "bin", win_build["reference"]),
                ["-static", "-s", "-DWIN32_LEAN_AND_MEAN"])
        except (OSError, subprocess.CalledProcessError) as error:
            wine = False
            wine_problem = "the Win32 programs cannot be built: %s" % error

    cold = not args.no_cold and drop_caches_works()
    report = Report(os.path.join(work, "results.md"))
    report.add("## kavelo benchmark")
    report.add("")
    for line in machine_lines(wine and wine_loader()):
        report.add(line)
    if not args.no_cold and not cold:
        report.add("No cold runs: dropping the page cache needs root and a "
                   "writable /proc/sys/vm/drop_caches.")
    if wine_problem:
        report.add("No Wine runs: %s." % wine_problem)
    for name in args.trees:
        bench_native(args, report, work, kavelo, floors, name,
                     cold and name in args.cold_trees)
        bench_dump(args, report, work, dump, name)
        bench_diff(args, report, work, dump, name)
    if wine:
        for name in args.wine_trees:
            bench_wine(args, report, work, name, kavelo_exe, ref_exe)
    log("results in %s" % report.path)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BenchError as error:
        print("scripts/bench: FAILED: %s" % error, file=sys.stderr)
        sys.exit(1)
    except subprocess.CalledProcessError as error:
        print("scripts/bench: FAILED: %s" % error, file=sys.stderr)
        sys.exit(1)

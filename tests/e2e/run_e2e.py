"""Runs every end-to-end case under one runner: native or wine."""

import argparse
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402


def project_version():
    """MAJOR.MINOR of project() in the top CMakeLists.txt, for runs by hand."""
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "..", "..", "CMakeLists.txt")) as f:
        found = re.search(r"project\(\w+ VERSION (\d+)\.(\d+)", f.read())
    return "%s.%s" % found.groups()


def test_classes(suite):
    """The suite's cases, class by class, in the order found."""
    classes = {}
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            for name, cases in test_classes(item).items():
                classes.setdefault(name, []).extend(cases)
        else:
            name = "%s.%s" % (type(item).__module__, type(item).__qualname__)
            classes.setdefault(name, []).append(item)
    return classes


def shard(suite, index, count):
    """Shard `index` (1 to `count`) of the suite: whole classes, so that a
    class's fixtures run once, dealt out largest first to the shard with
    the fewest cases."""
    classes = test_classes(suite)
    loads = [0] * count
    mine = []
    for name in sorted(classes, key=lambda n: (-len(classes[n]), n)):
        lightest = loads.index(min(loads))
        loads[lightest] += len(classes[name])
        if lightest == index - 1:
            mine.append(name)
    return unittest.TestSuite(
        case for name in sorted(mine) for case in classes[name])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", choices=["native", "wine"], required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--prefix", help="Wine prefix to use (wine runner)")
    parser.add_argument("--wine", default="wine", help="the Wine loader "
                        "(wine runner; default: wine, for the 32-bit build)")
    parser.add_argument("--version", help="the version the usage text gives "
                        "(default: the project's, from CMakeLists.txt)")
    parser.add_argument("--shard", metavar="K/N", help="run only the K-th "
                        "of N shares of the cases (whole classes), so that "
                        "N runners with prefixes of their own run in parallel")
    parser.add_argument("pattern", nargs="*", help="unittest name patterns")
    options = parser.parse_args()

    program = os.path.abspath(options.program)
    if options.runner == "native":
        import native_runner
        runner = native_runner.NativeRunner(program)
    else:
        import wine_runner
        runner = wine_runner.WineRunner(program, options.prefix, options.wine)
    harness.RUNNER = runner
    harness.VERSION = options.version or project_version()
    runner.setup()
    try:
        loader = unittest.TestLoader()
        if options.pattern:
            loader.testNamePatterns = ["*%s*" % p for p in options.pattern]
        here = os.path.dirname(os.path.abspath(__file__))
        suite = loader.discover(here, pattern="test_*.py", top_level_dir=here)
        if options.shard:
            index, count = map(int, options.shard.split("/"))
            suite = shard(suite, index, count)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        runner.teardown()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

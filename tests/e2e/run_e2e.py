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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runner", choices=["native", "wine"], required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--prefix", help="Wine prefix to use (wine runner)")
    parser.add_argument("--wine", default="wine", help="the Wine loader "
                        "(wine runner; default: wine, for the 32-bit build)")
    parser.add_argument("--version", help="the version the usage text gives "
                        "(default: the project's, from CMakeLists.txt)")
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
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        runner.teardown()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

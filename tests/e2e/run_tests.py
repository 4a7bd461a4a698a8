#!/usr/bin/env python3
"""tests/e2e/run_tests.py: runs the end-to-end suite against a built tarnLoader binary.

Usage: run_tests.py --binary PATH [--launcher wine] [-k PATTERN] [-v]
"""
import argparse
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True, help="the tarnLoader executable")
    parser.add_argument("--launcher", default="", help="a program that runs it, such as wine")
    parser.add_argument("-k", dest="pattern", action="append", default=[],
                        help="run only tests whose name contains this text")
    parser.add_argument("-v", dest="verbose", action="store_true")
    options = parser.parse_args()
    os.environ["TARNLOADER_BINARY"] = os.path.abspath(options.binary)
    # -tls keeps its self-signed certificate in the user's configuration folder: the tests'
    # servers keep theirs in a folder of the run's own.
    config = tempfile.TemporaryDirectory(prefix="tarnloader-config-")
    os.environ["XDG_CONFIG_HOME"] = config.name
    os.environ["TARNLOADER_LAUNCHER"] = options.launcher
    sys.path.insert(0, HERE)
    loader = unittest.TestLoader()
    if options.pattern:
        loader.testNamePatterns = ["*%s*" % p for p in options.pattern]
    suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    result = unittest.TextTestRunner(verbosity=2 if options.verbose else 1).run(suite)
    # A test with several failing subtests is one failed test.
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    # A class skipped as a whole counts as a skip without having run a test.
    passed = max(0, result.testsRun - failed - len(result.skipped))
    for test, reason in result.skipped:
        print("skipped: %s: %s" % (test.id(), reason))
    print("%d passed, %d failed, %d skipped" % (passed, failed, len(result.skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())

"""CPython's own test_posixpath with dorvane's functions in place of posixpath's.

Run on Python 3.11 with the built modules on the path (`make peer-posixpath`).
The test module is given a copy of posixpath whose path functions are
dorvane's; the interpreter's own os.path stays as it was, so the test
machinery keeps working. Prints every test that did not pass with its reason
and fails when a test outside EXPECTED fails: every test that gives str paths
that exist must pass. Tests in EXPECTED that pass are listed, not failed.
"""
import os
import sys
import tempfile
import types
import unittest

import dorvane

SWAPPED = ["abspath", "basename", "dirname", "exists", "getatime", "getctime", "getmtime", "getsize",
           "isabs", "isdir", "isfile", "islink", "ismount", "join", "lexists", "normcase",
           "normpath", "realpath", "relpath", "split", "splitdrive", "splitext"]

BYTES = "bytes in, ustream out: every path function answers text"
GUARD = "a missing path meets the guard (OSError) by design"
JOIN = "join takes a head and one tail (a list for more), not *paths"
PATCHED = "patches os.lstat/os.stat, which the C++ bodies do not call"
STRICT = "realpath has no strict= keyword"
MISSING_SEP = "a path the test never creates reaches the guard (OSError) by design"
# test id (class.method) -> why it is expected to fail.
EXPECTED = {}


def posixpath_with_dorvane():
    import posixpath
    copy = types.ModuleType("posixpath")
    copy.__dict__.update(vars(posixpath))
    for name in SWAPPED:
        setattr(copy, name, getattr(dorvane, name))
    return copy


def load_test_module():
    """test.test_posixpath imported against the copy, which it keeps as its `posixpath`."""
    real = sys.modules["posixpath"]
    sys.modules["posixpath"] = posixpath_with_dorvane()
    try:
        from test import test_posixpath
    finally:
        sys.modules["posixpath"] = real
    return test_posixpath


class Outcomes(unittest.TestResult):
    def __init__(self):
        unittest.TestResult.__init__(self)
        self.passed = []
        self.failed = {}  # test id -> first line of what went wrong

    @staticmethod
    def name(test):
        return ".".join(test.id().split(".")[-2:])

    def addSuccess(self, test):
        self.passed.append(self.name(test))

    def addFailure(self, test, err):
        self.failed[self.name(test)] = "%s: %s" % (err[0].__name__, str(err[1]).split("\n")[0][:160])

    addError = addFailure


def main():
    if sys.version_info[:2] < (3, 8):
        sys.exit("peer_posixpath: needs the Python 3 test package (run it with python3.11)")
    module = load_test_module()
    suite = unittest.defaultTestLoader.loadTestsFromModule(module)
    work = tempfile.mkdtemp(prefix="peer-posixpath-")
    here = os.getcwd()
    os.chdir(work)  # the tests make their files beside the current directory
    try:
        outcomes = Outcomes()
        suite.run(outcomes)
    finally:
        os.chdir(here)
        dorvane.rmdir(work)
    unexpected = sorted(set(outcomes.failed) - set(EXPECTED))
    expected = sorted(set(outcomes.failed) & set(EXPECTED))
    now_pass = sorted(set(outcomes.passed) & set(EXPECTED))
    for title, names, why in (("expected failures", expected, EXPECTED.get),
                              ("UNEXPECTED failures", unexpected, outcomes.failed.get),
                              ("expected to fail, passed (EXPECTED may shrink)", now_pass, EXPECTED.get)):
        if names:
            print("%s:" % title)
            for name in names:
                print("  %-52s %s" % (name, why(name)))
    print("peer-posixpath: %d passed, %d expected failures, %d unexpected failures, %d skipped"
          % (len(outcomes.passed), len(expected), len(unexpected), len(outcomes.skipped)))
    return 1 if unexpected or not outcomes.passed else 0


if __name__ == "__main__":
    sys.exit(main())

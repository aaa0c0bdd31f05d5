"""CPython's own test_posixpath with dorvane's functions in place of posixpath's.

Run on Python 3.11 with the built modules on the path (`make peer-posixpath`).
The test module is given a copy of posixpath whose path functions are
dorvane's; the interpreter's own os.path stays as it was, so the test
machinery keeps working. Prints every test that did not pass with its reason
and fails when a test outside EXPECTED fails, or one in it fails otherwise than
it says: every test that gives str paths that exist must pass. Tests in
EXPECTED that pass are listed, not failed.
"""
import fnmatch
import os
import sys
import tempfile
import types
import unittest

import dorvane

SWAPPED = ["abspath", "basename", "dirname", "exists", "getatime", "getctime", "getmtime", "getsize",
           "isabs", "isdir", "isfile", "islink", "ismount", "join", "lexists", "normcase",
           "normpath", "realpath", "relpath", "split", "splitdrive", "splitext"]

# Why a test is expected to fail, and how: the failure's type and a piece of its message,
# so that one failing for another reason counts as unexpected.
BYTES = ("bytes in, ustream out: every path function answers text (the str cases pass)",
         "AssertionError", "b'")
GUARD = ("a path that does not exist meets the guard (OSError) by design", "FileNotFoundError", "")
LOOP = ("the kernel gives up on the symlink chain (ELOOP), so for the guard the path does not exist",
        "FileNotFoundError", "")
JOIN = ("join takes a head and one tail (a list for more), not *paths", "TypeError", "given")
MIX = ("bytes are decoded, so str and bytes mix without TypeError", "AssertionError", "not raised")
PATCHED = ("patches os.lstat, which the C++ bodies and the guard do not call", "FileNotFoundError", "")
STRICT = ("realpath has no strict= keyword", "TypeError", "keyword")
FD = ("a file descriptor is not a path here", "TypeError", "int")
# Each reason with the tests (class.method, or a pattern of them) it stands for.
EXPECTED = dict((name, reason) for reason, names in [
    (BYTES, "PosixPathTest.test_split PosixPathTest.test_splitext PosixPathTest.test_realpath_curdir "
            "PosixPathTest.test_realpath_pardir PosixCommonTest.test_normcase PosixCommonTest.test_splitdrive"),
    (GUARD, "PosixPathTest.test_basename PosixPathTest.test_dirname PosixPathTest.test_isabs "
            "PosixPathTest.test_islink PosixPathTest.test_ismount_non_existent "
            "PosixPathTest.test_realpath_basic PosixPathTest.test_realpath_relative "
            "PosixPathTest.test_realpath_resolve_parents PosixPathTest.test_realpath_symlink_loops "
            "PosixPathTest.test_relpath PosixPathTest.test_relpath_bytes PosixCommonTest.test_abspath "
            "PosixCommonTest.test_abspath_* PosixCommonTest.test_nonascii_abspath PosixCommonTest.test_realpath "
            "PosixCommonTest.test_relpath_errors PosixCommonTest.test_isdir PosixCommonTest.test_isfile"),
    (LOOP, "PosixPathTest.test_realpath_deep_recursion"),
    (JOIN, "PosixPathTest.test_join PathLikeTests.test_path_join"),
    (MIX, "PosixCommonTest.test_join_errors"),
    (PATCHED, "PosixPathTest.test_ismount_different_device PosixPathTest.test_ismount_directory_not_readable"),
    (STRICT, "PosixPathTest.test_realpath_strict PosixPathTest.test_realpath_symlink_loops_strict"),
    (FD, "PosixCommonTest.test_exists_fd"),
] for name in names.split())


def load_test_module():
    """test.test_posixpath imported against a copy of posixpath, which it keeps as its
    `posixpath`, and whose functions are then dorvane's, as are the ones it imported by name.
    ABSTFN, which it makes at import from a path that does not exist yet, comes from
    posixpath's abspath: dorvane's would refuse the missing path."""
    import posixpath
    copy = types.ModuleType("posixpath")
    copy.__dict__.update(vars(posixpath))
    sys.modules["posixpath"] = copy
    try:
        from test import test_posixpath
    finally:
        sys.modules["posixpath"] = posixpath
    for name in SWAPPED:
        setattr(copy, name, getattr(dorvane, name))
        if getattr(test_posixpath, name, None) is getattr(posixpath, name):
            setattr(test_posixpath, name, getattr(dorvane, name))
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


def reason_for(name):
    for pattern, reason in EXPECTED.items():
        if fnmatch.fnmatchcase(name, pattern):
            return reason
    return None


def as_expected(name, how):
    if not reason_for(name):
        return False
    _, kind, piece = reason_for(name)
    return how.startswith(kind + ":") and piece in how


def main():
    if sys.version_info[:2] < (3, 8):
        sys.exit("peer_posixpath: needs the Python 3 test package (run it with python3.11)")
    work = tempfile.mkdtemp(prefix="peer-posixpath-")
    here = os.getcwd()
    os.chdir(work)  # the tests make their files beside the current directory
    try:
        suite = unittest.defaultTestLoader.loadTestsFromModule(load_test_module())
        outcomes = Outcomes()
        suite.run(outcomes)
    finally:
        os.chdir(here)
        dorvane.rmdir(work)
    expected = sorted(name for name, how in outcomes.failed.items() if as_expected(name, how))
    unexpected = sorted(set(outcomes.failed) - set(expected))
    now_pass = sorted(name for name in outcomes.passed if reason_for(name))
    reason = lambda name: reason_for(name)[0]
    for title, names, why in (("expected failures", expected, reason),
                              ("UNEXPECTED failures", unexpected, outcomes.failed.get),
                              ("expected to fail, passed (EXPECTED may shrink)", now_pass, reason)):
        if names:
            print("%s:" % title)
            for name in names:
                print("  %-52s %s" % (name, why(name)))
    print("peer-posixpath: %d passed, %d expected failures, %d unexpected failures, %d skipped"
          % (len(outcomes.passed), len(expected), len(unexpected), len(outcomes.skipped)))
    return 1 if unexpected or not outcomes.passed else 0


if __name__ == "__main__":
    sys.exit(main())

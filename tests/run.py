"""Runs the Python suites under tests/, the C++ unit tests and the fuzz smoke
pass (fuzz/run.py; FUZZ_SMOKE=0 leaves it out). Ends with one line `N passed,
N failed` and exits non-zero when anything failed or nothing ran at all; a
missing C++ test binary counts as a failure."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run_python():
    loader = unittest.TestLoader()
    suite = loader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    return result.testsRun - failed - skipped, failed, skipped


def run_cpp():
    binary = os.path.join(ROOT, os.environ.get("BUILD", "build"), "cpptests")
    if not os.path.exists(binary):
        # A build that lost its C++ tests must not look like one whose tests passed.
        print("C++ tests missing: %s does not exist (make cpptests builds it)" % binary)
        return 0, 1
    fd, report = tempfile.mkstemp(suffix=".json")
    os.close(fd)
    try:
        status = subprocess.call([binary, "--gtest_brief=1", "--gtest_output=json:" + report])
        with open(report) as f:
            data = json.load(f)
    except (OSError, ValueError) as e:
        print("C++ tests did not report: %s" % e)
        return 0, 1
    finally:
        os.remove(report)
    failed = data.get("failures", 0) + data.get("errors", 0)
    passed = data.get("tests", 0) - failed - data.get("disabled", 0)
    if status != 0 and failed == 0:
        failed = 1  # crashed after writing a report, or similar
    return passed, failed


def run_fuzz():
    """Each fuzz target counts as one test."""
    if os.environ.get("FUZZ_SMOKE", "1") == "0":
        return 0, 0
    import imp
    fuzz_run = imp.load_source("fuzz_run", os.path.join(ROOT, "fuzz", "run.py"))
    passed, failed, _ = fuzz_run.smoke(quiet=True)
    return passed, failed


def main():
    os.chdir(ROOT)
    py_passed, py_failed, skipped = run_python()
    cpp_passed, cpp_failed = run_cpp()
    fuzz_passed, fuzz_failed = run_fuzz()
    print("python: %d passed, %d failed, %d skipped; c++: %d passed, %d failed; "
          "fuzz: %d passed, %d failed"
          % (py_passed, py_failed, skipped, cpp_passed, cpp_failed, fuzz_passed, fuzz_failed))
    passed, failed = py_passed + cpp_passed + fuzz_passed, py_failed + cpp_failed + fuzz_failed
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()

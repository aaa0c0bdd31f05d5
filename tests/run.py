"""Runs the Python suites with the interpreter that runs it, then the C++ unit tests and the
fuzz smoke pass (FUZZ_SMOKE=0 leaves out the fuzz pass; PY_ONLY=1 both, for a second interpreter
over the same build); ends with `N passed, N failed`, non-zero when anything failed or nothing ran.
`run.py valgrind` runs the C++ tests and the suites nearest the C++ under memcheck: each fails on
a bad access or uninitialised use in our frames, a definite leak of ours in the process it started,
or a non-zero exit."""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

from support import load_source

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VALGRIND_SUITES = ["test_ondrel", "test_ondrel_io", "test_content", "test_faults", "test_replace", "test_paths"]
# The long codec tests (many levels, sizes and tools) take a quarter of an
# hour under valgrind and run under ASan instead; these still reach every
# encoder, decoder and failure path.
VALGRIND_FILTER = "CodecDamage.Truncation*:CodecLimits.Lzop*:CodecLimits.AGzip*:Base64.*:Zlib.*"
VALGRIND = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
            "--track-origins=yes", "--num-callers=40",
            "--suppressions=" + os.path.join(HERE, "valgrind-python.supp")]
OURS = re.compile(r"(dorvane\.so|ondrel\.so|cpptests|/ondrel/|/src/)")


class CountingResult(unittest.TextTestResult):
    """Counts passes itself: from 3.12 on, testsRun leaves out skipped tests."""
    passed = 0

    def addSuccess(self, test):
        super(CountingResult, self).addSuccess(test)
        self.passed += 1


def run_python():
    suite = unittest.TestLoader().discover(HERE, pattern="test_*.py", top_level_dir=HERE)
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stdout, resultclass=CountingResult).run(suite)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    return result.passed, failed, len(result.skipped)


def cpp_binary():
    binary = os.path.join(ROOT, os.environ.get("BUILD", "build"), "cpptests")
    if not os.path.exists(binary):
        # A build that lost its C++ tests must not look like one whose tests passed.
        print("C++ tests missing: %s does not exist (make cpptests builds it)" % binary)
        return None
    return binary


def py_only():
    return os.environ.get("PY_ONLY", "0") not in ("", "0")


def run_cpp():
    if py_only():
        return 0, 0
    binary = cpp_binary()
    if not binary:
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


def run_fuzz():  # each fuzz target counts as one test
    if os.environ.get("FUZZ_SMOKE", "1") == "0" or py_only():
        return 0, 0
    fuzz_run = load_source("fuzz_run", os.path.join(ROOT, "fuzz", "run.py"))
    passed, failed, _ = fuzz_run.smoke(quiet=True)
    return passed, failed


def memcheck(name, command, env):
    log = tempfile.NamedTemporaryFile(prefix="valgrind-", suffix=".log", delete=False).name
    status = subprocess.call(VALGRIND + ["--log-file=" + log] + command, env=env,
                             stdout=open(os.devnull, "w"), stderr=subprocess.STDOUT)
    text = open(log).read()
    # Reports run from "==pid== <kind>" to a blank "==pid==". Leaks count only in the process
    # valgrind started (a fork() child ends holding what the parent's workers own); bad accesses in any.
    main = re.match(r"==\d+==", text)
    ours = [b for b in re.split(r"\n==\d+== \n", text) if OURS.search(b) and (
        re.search(r"(Invalid (read|write)|uninitialised)", b) or
        ("definitely lost" in b and main is not None and b.lstrip("\n").startswith(main.group(0))))]
    # valgrind passes the program's own status through when it finds nothing,
    # so a suite that failed, or never started, shows here and nowhere else.
    ok = status == 0 and not ours
    print("%-16s %s  exit %d, %d reports with our frames%s"
          % (name, "ok" if ok else "FAIL", status, len(ours), "" if ok else "  (log %s)" % log))
    for block in ours[:3]:
        print(block[:3000])
    sys.stdout.flush()
    if ok:
        os.remove(log)
    return ok


def run_valgrind():
    if subprocess.call(["which", "valgrind"], stdout=open(os.devnull, "w")) != 0:
        raise SystemExit("valgrind not installed (apt-get install valgrind)")
    build = os.path.join(ROOT, os.environ.get("BUILD", "build"))
    env = dict(os.environ, PYTHONPATH=build + os.pathsep + HERE)
    binary = cpp_binary()
    results = [bool(binary) and memcheck("cpptests", [binary, "--gtest_brief=1",
                                                      "--gtest_filter=" + VALGRIND_FILTER], env)]
    for suite in VALGRIND_SUITES:
        results.append(memcheck(suite, [sys.executable, "-m", "unittest", suite], env))
    return results.count(True), results.count(False)


def main():
    os.chdir(ROOT)
    if sys.argv[1:] == ["valgrind"]:
        passed, failed = run_valgrind()
    else:
        py_passed, py_failed, skipped = run_python()
        cpp_passed, cpp_failed = run_cpp()
        fuzz_passed, fuzz_failed = run_fuzz()
        print("python %d.%d: %d passed, %d failed, %d skipped; c++: %d passed, %d failed; "
              "fuzz: %d passed, %d failed"
              % (sys.version_info[:2] + (py_passed, py_failed, skipped, cpp_passed, cpp_failed,
                                         fuzz_passed, fuzz_failed)))
        passed, failed = py_passed + cpp_passed + fuzz_passed, py_failed + cpp_failed + fuzz_failed
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed or not passed else 0)


if __name__ == "__main__":
    main()

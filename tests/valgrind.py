"""The C++ unit tests and the Python suites that drive the C++ hardest, under
valgrind memcheck. Fails on any invalid read or write, use of uninitialised
memory, or definite leak with a frame of ours (dorvane.so, ondrel.so, the
test binary) in its stack; the interpreter's own quirks are suppressed by
tests/valgrind-python.supp. A program that exits non-zero (a failing test, a
suite that cannot be imported) fails its check too.

    python2.7 tests/valgrind.py          # as `make valgrind-test` runs it
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
SUITES = ["test_ondrel", "test_ondrel_io", "test_content", "test_faults", "test_paths"]
# The long codec tests (many levels, sizes and tools) take a quarter of an
# hour under valgrind and run under ASan instead; these still reach every
# encoder, decoder and failure path.
GTEST_FILTER = ("CodecStreaming.*:CodecConcatenation.*:CodecDamage.Truncation*:"
                "CodecDamage.FlipInIncompressible*:CodecDamage.Foreign*:CodecDamage.LzopBlock*:"
                "Base64.DecodeIgnoresLineBreaksOnly:Zlib.*")
VALGRIND = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
            "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
            "--track-origins=yes", "--num-callers=40",
            "--suppressions=" + os.path.join(HERE, "valgrind-python.supp")]
OURS = re.compile(r"(dorvane\.so|ondrel\.so|cpptests|/ondrel/|/src/)")


def check(name, command, env):
    log = tempfile.NamedTemporaryFile(prefix="valgrind-", suffix=".log", delete=False).name
    status = subprocess.call(VALGRIND + ["--log-file=" + log] + command, env=env,
                             stdout=open(os.devnull, "w"), stderr=subprocess.STDOUT)
    text = open(log).read()
    summary = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    errors = sum(int(n) for n in summary)
    # Each report is a block of lines from "==pid== <kind>" to a blank "==pid==".
    blocks = re.split(r"\n==\d+== \n", text)
    ours = [b for b in blocks
            if re.search(r"(Invalid (read|write)|uninitialised|definitely lost)", b) and OURS.search(b)]
    # valgrind passes the program's own status through when it finds nothing,
    # so a suite that failed, or never started, shows here and nowhere else.
    verdict = "ok" if status == 0 and not ours else "FAIL"
    print("%-16s %s  exit %d, %d errors reported, %d with our frames%s"
          % (name, verdict, status, errors, len(ours), "" if verdict == "ok" else "  (log %s)" % log))
    for block in ours[:3]:
        print(block[:3000])
    sys.stdout.flush()
    if verdict == "ok":
        os.remove(log)
    return verdict == "ok"


def main():
    if subprocess.call(["which", "valgrind"], stdout=open(os.devnull, "w")) != 0:
        raise SystemExit("valgrind not installed (apt-get install valgrind)")
    env = dict(os.environ, PYTHONPATH=BUILD)
    results = [check("cpptests", [os.path.join(BUILD, "cpptests"), "--gtest_brief=1",
                                  "--gtest_filter=" + GTEST_FILTER], env)]
    for suite in SUITES:
        results.append(check(suite, [sys.executable, "-m", "unittest", suite],
                             dict(env, PYTHONPATH=BUILD + os.pathsep + HERE)))
    print("valgrind: %d passed, %d failed" % (results.count(True), results.count(False)))
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()

"""Runs the test suites on more than one interpreter, each built into its own
directory, and closes with one line over all of them. Runs on 2.7 and 3.x.

    pythons.py test PYTHON [X.Y]   `make test`: everything with PYTHON in $BUILD
                                   (Python suites, C++ tests, fuzz smoke), then the
                                   Python suites on pyenv's X.Y, the stub check and
                                   the posixpath peer check; ends `N passed, N failed`
    pythons.py all                 `make test-pythons`: the Python suites on 2.7 and
                                   on every pyenv interpreter from 3.8 on
"""
import glob
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VERSIONS = ["2.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
COUNTS = re.compile(r"^(\d+) passed, (\d+) failed$")


def pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if root:
        return root
    try:
        return subprocess.check_output(["pyenv", "root"]).decode().strip()
    except (OSError, subprocess.CalledProcessError):
        return os.path.expanduser("~/.pyenv")


def pyenv_python(version):
    """pyenv's newest X.Y.* interpreter, or None."""
    found = glob.glob(os.path.join(pyenv_root(), "versions", version + ".*", "bin", "python" + version))
    patch = lambda path: int(re.search(r"/%s\.(\d+)[^/]*/bin/" % re.escape(version), path).group(1))
    return max(found, key=patch) if found else None


def build_dir(version):
    return "build" if version == "2.7" else "build-" + version


def run(command, env=None):
    """Runs command with its output passed through; (status, last `N passed, N failed` or None)."""
    sys.stdout.flush()
    process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
    counts = None
    for raw in iter(process.stdout.readline, b""):
        line = raw.decode("utf-8", "replace")
        sys.stdout.write(line)
        sys.stdout.flush()
        match = COUNTS.match(line.strip())
        if match:
            counts = int(match.group(1)), int(match.group(2))
    return process.wait(), counts


def make(*arguments):
    return run(["make", "--no-print-directory"] + list(arguments))[0] == 0


class Tally(object):
    def __init__(self, title):
        self.title, self.results, self.passed, self.failed = title, [], 0, 0

    def heading(self, text):
        print("\n===== %s: %s" % (self.title, text))

    def absent(self, label, why):
        self.results.append("%s %s" % (label, why))

    def suite(self, label, status, counts):
        """A run that reports `N passed, N failed`; one that did not report counts as one failure."""
        passed, failed = counts or (0, 1)
        if status != 0 and failed == 0:
            failed = 1
        self.passed, self.failed = self.passed + passed, self.failed + failed
        self.results.append("%s ok" % label if not failed else "%s FAILED (%d failed)" % (label, failed))

    def check(self, label, ok):
        """A check that passes or fails as a whole."""
        self.passed, self.failed = self.passed + ok, self.failed + (not ok)
        self.results.append("%s %s" % (label, "ok" if ok else "FAILED"))

    def close(self, totals):
        print("\n%s: %s" % (self.title, ", ".join(self.results)))
        if totals:
            print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed or not self.passed else 0


def python_suites(tally, version, python):
    """Builds for python into its own directory and runs the Python suites alone."""
    tally.heading("Python %s (%s)" % (version, python))
    build = build_dir(version)
    if not make("build", "PYTHON=" + python, "BUILD=" + build):
        tally.suite(version, 1, (0, 1))
        tally.results[-1] = "%s FAILED (build)" % version
        return
    env = dict(os.environ, BUILD=build, PYTHONPATH=os.path.join(ROOT, build), PY_ONLY="1", FUZZ_SMOKE="0")
    tally.suite(version, *run([python, os.path.join("tests", "run.py")], env))


def version_of(python):
    out = subprocess.check_output([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"])
    return out.decode().strip()


def test(python, also):
    tally = Tally("test")
    version = version_of(python)
    tally.heading("Python %s (%s), C++ tests and fuzz smoke in %s" % (version, python,
                                                                  os.environ.get("BUILD", "build")))
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, os.environ.get("BUILD", "build")))
    tally.suite(version, *run([python, os.path.join("tests", "run.py")], env))
    for other in also:
        found = pyenv_python(other)
        if not found:
            print("\nerror: no Python %s under %s/versions (pyenv install %s); its suites did not run"
                  % (other, pyenv_root(), other))
            tally.suite(other, 1, (0, 1))
            tally.results[-1] = "%s MISSING" % other
            continue
        python_suites(tally, other, found)
    for target in ("stubs-check", "peer-posixpath"):
        tally.heading(target)
        tally.check(target, make(target))
    return tally.close(totals=True)


def every_python():
    tally = Tally("pythons")
    for version in VERSIONS:
        found = pyenv_python(version)
        if found:
            python_suites(tally, version, found)
        else:
            tally.absent(version, "absent")
    return tally.close(totals=False)


def main():
    if sys.argv[1:2] == ["test"] and len(sys.argv) >= 3:
        return test(sys.argv[2], sys.argv[3:])
    if sys.argv[1:] == ["all"]:
        return every_python()
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())

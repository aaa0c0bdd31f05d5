"""The test runners themselves: a run that did not happen, or a suite that
failed, must never be reported as a pass."""
import imp
import os
import subprocess
import tempfile
import unittest

from support import HERE, TempDirTest


def load(name):
    return imp.load_source("runner_" + name, os.path.join(HERE, name + ".py"))


def have_valgrind():
    with open(os.devnull, "w") as null:
        return subprocess.call(["which", "valgrind"], stdout=null) == 0


class RunnerTest(TempDirTest):
    def test_missing_cpp_binary_is_a_failure(self):
        run = load("run")
        saved = os.environ.get("BUILD")
        os.environ["BUILD"] = self.dir  # an empty build directory
        try:
            passed, failed = run.run_cpp()
        finally:
            if saved is None:
                del os.environ["BUILD"]
            else:
                os.environ["BUILD"] = saved
        self.assertEqual((passed, failed), (0, 1))

    @unittest.skipUnless(have_valgrind(), "valgrind not installed")
    def test_valgrind_verdict_follows_the_program(self):
        valgrind = load("valgrind")
        # Without a sanitizer runtime the ASan suite may have preloaded:
        # valgrind cannot run a program carrying one.
        env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
        self.addCleanup(setattr, tempfile, "tempdir", tempfile.tempdir)
        tempfile.tempdir = self.dir  # the logs of failed checks stay there
        # Neither program gives valgrind anything to report, so only the exit
        # status tells them apart.
        self.assertTrue(valgrind.check("passes", ["/bin/true"], env))
        self.assertFalse(valgrind.check("fails", ["/bin/false"], env))


if __name__ == "__main__":
    unittest.main()

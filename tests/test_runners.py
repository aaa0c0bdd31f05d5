"""The test runners themselves: a run that did not happen, or a suite that
failed, must never be reported as a pass."""
import distutils.spawn
import imp
import os
import tempfile
import unittest

from support import HERE, Rebinding, TempDirTest


def load(name):
    return imp.load_source("runner_" + name, os.path.join(HERE, name + ".py"))


class RunnerTest(TempDirTest):
    def test_missing_cpp_binary_is_a_failure(self):
        with Rebinding(os, environ=dict(os.environ, BUILD=self.dir)):  # an empty build directory
            self.assertEqual(load("run").run_cpp(), (0, 1))

    @unittest.skipUnless(distutils.spawn.find_executable("valgrind"), "valgrind not installed")
    def test_valgrind_verdict_follows_the_program(self):
        # Without a sanitizer runtime the ASan suite may have preloaded:
        # valgrind cannot run a program carrying one.
        env = dict((k, v) for k, v in os.environ.items() if k != "LD_PRELOAD")
        valgrind = load("valgrind")
        with Rebinding(tempfile, tempdir=self.dir):  # the logs of failed checks stay there
            # Neither program gives valgrind anything to report, so only the
            # exit status tells them apart.
            self.assertTrue(valgrind.check("passes", ["/bin/true"], env))
            self.assertFalse(valgrind.check("fails", ["/bin/false"], env))


if __name__ == "__main__":
    unittest.main()

"""The test runner itself: a run that did not happen must never be reported
as a pass."""
import imp
import os
import unittest

from support import HERE, Rebinding, TempDirTest


class RunnerTest(TempDirTest):
    def test_missing_cpp_binary_is_a_failure(self):
        run = imp.load_source("runner_run", os.path.join(HERE, "run.py"))
        with Rebinding(os, environ=dict(os.environ, BUILD=self.dir)):  # an empty build directory
            self.assertEqual(run.run_cpp(), (0, 1))


if __name__ == "__main__":
    unittest.main()

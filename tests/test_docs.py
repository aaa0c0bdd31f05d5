"""Tooling: docs/reference.md is what docs/generate.py makes now; a run that never happened is no pass."""
import difflib
import os
import unittest

from support import HERE, PY3, ROOT, Rebinding, TempDirTest, load_source


class ToolingTest(TempDirTest):
    def test_committed_reference_is_current(self):
        generate = load_source("generate", os.path.join(ROOT, "docs", "generate.py"))
        with open(generate.OUT) as f:
            committed = f.read()
        fresh = generate.render()  # stops at a function without a body, a table row or an error entry
        if PY3:
            return  # `make docs` writes the reference with 2.7; 3.x's docstrings name its own types
        if committed != fresh:
            diff = difflib.unified_diff(committed.splitlines(), fresh.splitlines(),
                                        "docs/reference.md", "generated", lineterm="", n=0)
            self.fail("docs/reference.md is out of date: run `make docs`\n" +
                      "\n".join(list(diff)[:12]))

    def test_missing_cpp_binary_is_a_failure(self):
        run = load_source("runner_run", os.path.join(HERE, "run.py"))
        with Rebinding(os, environ=dict(os.environ, BUILD=self.dir, PY_ONLY="0")):  # an empty build directory
            self.assertEqual(run.run_cpp(), (0, 1))


if __name__ == "__main__":
    unittest.main()

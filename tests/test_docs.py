"""docs/reference.md is what docs/generate.py makes of the current sources."""
import difflib
import imp
import os
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class ReferenceTest(unittest.TestCase):
    def test_committed_reference_is_current(self):
        generate = imp.load_source("generate", os.path.join(ROOT, "docs", "generate.py"))
        with open(generate.OUT) as f:
            committed = f.read()
        fresh = generate.render()
        if committed != fresh:
            diff = difflib.unified_diff(committed.splitlines(), fresh.splitlines(),
                                        "docs/reference.md", "generated", lineterm="", n=0)
            self.fail("docs/reference.md is out of date: run `make docs`\n" +
                      "\n".join(list(diff)[:12]))


if __name__ == "__main__":
    unittest.main()

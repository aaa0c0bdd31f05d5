"""Hostile input: names that do not decode and arguments of every wrong type
for every one of the 45 functions (names the shell would misread: test_platform)."""
import os
import unittest

import dorvane
from support import TempDirTest, py2_only
from test_load import ARGS


class Names(TempDirTest):
    @py2_only  # 3.x answers such names as os.listdir does: test_python3
    def test_listdir_names_the_bad_entry_and_loses_nothing(self):
        for name in ("a", "\xff\xfe-latin", "z"):
            open(self.path(name), "wb").close()
        for argument in (self.dir, self.dir.decode("utf-8")):
            caught = self.raised(UnicodeDecodeError, lambda: dorvane.listdir(argument))
            self.assertIn("0xff", str(caught))
        self.assertEqual(sorted(os.listdir(self.dir)), ["a", "z", "\xff\xfe-latin"])
        os.remove(self.path("\xff\xfe-latin"))
        self.assertEqual(sorted(dorvane.listdir(self.dir)), [u"a", u"z"])


# Valid arguments for each required position of each function: the load
# suite's successful calls (the rest have defaults); a whole-call success
# there takes one path here.
FILL = dict((name, list(args[1])) for name, args in ARGS.items() if type(args[1]) is tuple)
FILL["move"] = ["g", "f"]  # from nowhere: "f" must stay
# Wrong in type or content for a path, a mode, a filter or a flag; none
# names anything that exists.
BAD = ["None", "12", "1.5", "object()", "{}", "(1,)", "bytearray(b'x')", "'a\\0b'", "u'a\\0b'",
       "[1, 2]", "['\\xff']", "u'\\udcff' * 3", "2 ** 70"]


class WrongTypes(TempDirTest):
    """One child interpreter runs every bad call: it must survive them all, and
    each call must either answer or raise an ordinary exception."""

    def test_every_function(self):
        lines = self.child("""
            import os, dorvane, ondrel
            with open("f", "w") as f:
                f.write("v")
            fills, bad = %r, %r
            seen = 0
            for name in %r:
                f = getattr(dorvane, name)
                fill = fills.get(name, ["f"])
                n = len(fill)
                for text in bad:
                    value = eval(text)
                    calls = [[value] * max(n, 1)] + [fill[:i] + [value] + fill[i + 1:] for i in range(n)]
                    for args in calls:
                        try:
                            f(*args)
                        except (TypeError, ValueError, EnvironmentError, UnicodeError, OverflowError,
                                ondrel.StreamError):
                            pass
                        seen += 1
            print("alive %%d %%s %%s" %% (seen, open("f").read(), sorted(os.listdir("."))))
            """ % (FILL, BAD, sorted(ARGS)), cwd=self.dir, TMPDIR=self.dir)  # tmpdir & co. make theirs here
        words = lines[0].split(None, 3)
        self.assertEqual(words[0], "alive")
        self.assertGreater(int(words[1]), 45 * len(BAD))
        self.assertEqual(words[2], "v")


if __name__ == "__main__":
    unittest.main()

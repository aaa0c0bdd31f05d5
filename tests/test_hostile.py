"""Hostile input: names that do not decode, over-long paths, and arguments
of every wrong type for every one of the 45 functions (names the shell would
misread: test_platform)."""
import errno
import os
import textwrap
import unittest

import dorvane
from support import TempDirTest, run_python


class Names(TempDirTest):
    def test_listdir_names_the_bad_entry_and_loses_nothing(self):
        for name in ("a", "\xff\xfe-latin", "z"):
            open(self.path(name), "wb").close()
        for argument in (self.dir, unicode(self.dir)):
            caught = self.raised(UnicodeDecodeError, lambda: dorvane.listdir(argument))
            self.assertIn("0xff", str(caught))
        self.assertEqual(sorted(os.listdir(self.dir)), ["a", "z", "\xff\xfe-latin"])
        with self.assertRaises(UnicodeDecodeError):
            dorvane.exists(self.path("\xff\xfe-latin"))
        os.remove(self.path("\xff\xfe-latin"))
        self.assertEqual(sorted(dorvane.listdir(self.dir)), [u"a", u"z"])

    def test_enametoolong(self):
        for path in (self.path("c" * 256), self.path(*(["d" * 200] * 25))):  # over NAME_MAX, PATH_MAX
            for call in (lambda: dorvane.cat(path), lambda: dorvane.mkdir(path),
                         lambda: dorvane.copy(__file__, path),
                         lambda: dorvane.compress(__file__, path, "gzip"),
                         lambda: dorvane.tmpfstream(suffix=path.replace("/", "_"))):
                caught = self.raised(EnvironmentError, call)
                self.assertIn(caught.errno, (errno.ENAMETOOLONG, errno.ENOENT))
            self.assertFalse(dorvane.exists(path))


# Valid arguments for each required position of each function (the rest
# have defaults); any other function takes one path.
FILL = {"appdir": [], "getcwd": [], "tmpdir": [], "tmpname": [], "tmpfstream": [],
        "chmod": ["victim", 0o644], "chown": ["victim", 0, 0], "compress": ["victim", "out", "gzip"],
        "decompress": ["victim", "out", "gzip"], "copy": ["victim", "out"], "move": ["out", "out2"],
        "link": ["victim", "out3"], "symlink": ["victim", "out4"], "join": ["a", "b"]}
# Wrong in type or content for a path, a mode, a filter or a flag; none
# names anything that exists.
BAD = ["None", "12", "1.5", "object()", "{}", "(1,)", "bytearray('x')", "'a\\0b'", "u'a\\0b'",
       "[1, 2]", "['\\xff']", "u'\\udcff' * 3", "2 ** 70"]


class WrongTypes(unittest.TestCase):
    """One child interpreter runs every bad call: it must survive them all, and
    each call must either answer or raise an ordinary exception."""

    def test_every_function(self):
        names = sorted(n for n in dir(dorvane)
                       if type(getattr(dorvane, n)).__name__ == "builtin_function_or_method")
        self.assertEqual(len(names), 45, names)
        code = textwrap.dedent("""
            import os, shutil, sys, tempfile, dorvane, ondrel
            scratch = tempfile.mkdtemp()
            os.chdir(scratch)
            tempfile.tempdir = scratch  # where tmpdir/tmpname/tmpfstream put what they make
            open("victim", "w").write("v")
            os.mkdir("victim_dir")
            fills, bad = %r, %r
            seen = 0
            for name in %r:
                f = getattr(dorvane, name)
                fill = fills.get(name, ["victim"])
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
            print "alive", seen, open("victim").read(), sorted(os.listdir("."))
            os.chdir("/")
            shutil.rmtree(scratch)
        """) % (FILL, BAD, names)
        status, out, err = run_python(code)
        self.assertEqual(status, 0, err[-3000:])
        words = out.split(None, 3)
        self.assertEqual(words[0], "alive")
        self.assertGreater(int(words[1]), 45 * len(BAD))
        self.assertEqual(words[2], "v")


if __name__ == "__main__":
    unittest.main()

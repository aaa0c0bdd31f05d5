# -*- coding: utf-8 -*-
"""Path manipulation and the unguarded queries, on a real file system."""
import os
import sys
import unittest

import dorvane
from ondrel import ustream

from support import Rebinding, TempDirTest, cwd, last_entry


class ExistsTest(TempDirTest):
    def test_links_and_missing_paths(self):
        os.symlink(self.path("nowhere"), self.path("dangling"))
        self.assertIs(dorvane.exists(self.path("dangling")), False)
        self.assertIs(dorvane.lexists(self.path("dangling")), True)
        for f in (dorvane.exists, dorvane.lexists):
            self.assertIs(f(self.path("missing")), False)
            self.assertIs(f(self.dir), True)

    def test_names_outside_ascii_and_with_quotes(self):
        for name in ["caf\xc3\xa9", "it's \"quoted\" $(x)", u"\u65e5\u672c"]:
            raw = name.encode("utf-8") if isinstance(name, unicode) else name
            self.touch(raw)
            self.assertIs(dorvane.exists(self.path(raw)), True)
            self.assertIs(dorvane.exists(ustream(self.path(raw))), True)

    def test_refused_argument(self):
        self.assertRaises(TypeError, dorvane.exists, 3)
        self.assertRaises(UnicodeDecodeError, dorvane.exists, "\xff\xfe")


class SplitTest(unittest.TestCase):
    def check_pair(self, result, expected):
        self.assertIs(type(result), tuple)
        self.assertEqual([type(x) for x in result], [ustream, ustream])
        self.assertEqual(result, expected)

    def test_pairs(self):
        self.check_pair(dorvane.split("name"), (u"", u"name"))
        self.check_pair(dorvane.split("/a/b/"), (u"/a/b", u""))
        self.check_pair(dorvane.splitext(".bashrc"), (u".bashrc", u""))
        self.check_pair(dorvane.splitext("a/b.tar.gz"), (u"a/b.tar", u".gz"))
        self.check_pair(dorvane.splitdrive("/x/y"), (u"", u"/x/y"))
        self.check_pair(dorvane.split(u"/d\xe9j\xe0/vu"), (u"/d\xe9j\xe0", u"vu"))

    def test_rewrites_of_missing_paths(self):
        self.assertEqual(dorvane.normpath("/no//such/../path/."), u"/no/path")
        self.assertIs(type(dorvane.normpath("a")), ustream)
        self.assertEqual(dorvane.normcase("/No/Such"), u"/No/Such")

    def test_normpath_fetches_function_before_converting(self):
        class NoPath(object):
            pass

        converted = []
        with Rebinding(dorvane, os=NoPath, ustream=lambda v: converted.append(v)):
            self.assertRaises(AttributeError, dorvane.normpath, "x")
            self.assertEqual(converted, [])
            self.assertRaises(AttributeError, dorvane.split, "x")
            self.assertEqual(converted, ["x"])


class JoinTest(unittest.TestCase):
    def test_join(self):
        self.assertEqual(dorvane.join("/no/such", "dir"), u"/no/such/dir")
        self.assertEqual(dorvane.join("a", "/abs"), u"/abs")
        self.assertEqual(dorvane.join(u"caf\xe9", "caf\xc3\xa9"), u"caf\xe9/caf\xe9")
        self.assertIs(type(dorvane.join("a", "b")), ustream)

    def test_list_tail_joins_every_component(self):
        self.assertEqual(dorvane.join("root", [ustream("a"), "b", u"c"]), u"root/a/b/c")
        self.assertEqual(dorvane.join("root", ("a", "/abs", "z")), u"/abs/z")


class GetcwdTest(TempDirTest):
    def test_current_directory(self):
        with cwd(self.dir):
            self.assertEqual(dorvane.getcwd(), os.getcwdu())
            self.assertIs(type(dorvane.getcwd()), ustream)
            os.rmdir(self.dir)
            try:
                dorvane.getcwd()
            except OSError:
                entries = last_entry(sys.exc_info())
            self.assertEqual(len(entries), 1)
            self.assertTrue(entries[0][2].startswith("dorvane.getcwd"))


if __name__ == "__main__":
    unittest.main()

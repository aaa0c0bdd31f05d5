# -*- coding: utf-8 -*-
"""The guarded path queries: the existence guard, result types, odd names."""
import errno
import os
import unittest

import dorvane
from ondrel import ustream

from support import Rebinding, TempDirTest, cwd

QUERIES = ["abspath", "basename", "dirname", "realpath", "relpath", "listdir", "ismount",
           "islink", "isfile", "isdir", "isabs", "getsize", "getmtime", "getctime", "getatime"]


class GuardTest(TempDirTest):
    def test_every_query_refuses_a_missing_path(self):
        for name in QUERIES:
            self.assertMissing(getattr(dorvane, name), self.path("missing"))
            self.assertMissing(getattr(dorvane, name), "relative-and-missing")
            self.assertMissing(getattr(dorvane, name), self.path("caf\xc3\xa9 'n' \"q\""))

    def test_dangling_link_is_missing(self):
        os.symlink(self.path("nowhere"), self.path("dangling"))
        self.assertMissing(dorvane.islink, self.path("dangling"))

    def test_rebound_exists_lets_standard_errors_through(self):
        with Rebinding(dorvane, exists=lambda path: True):
            self.assertIs(dorvane.isfile(self.path("missing")), False)
            with self.assertRaises(OSError) as caught:
                dorvane.listdir(self.touch("file"))
            self.assertEqual(caught.exception.errno, errno.ENOTDIR)
            self.assertRaises(OSError, dorvane.getsize, self.path("missing"))

    def test_exists_failure_propagates(self):
        def broken(path):
            raise RuntimeError("exists broke")

        with Rebinding(dorvane, exists=broken):
            self.assertRaises(RuntimeError, dorvane.abspath, self.dir)

    def test_exists_sees_the_converted_path(self):
        seen = []
        with Rebinding(dorvane, exists=lambda path: seen.append(path) or True):
            dorvane.basename("caf\xc3\xa9")
        self.assertEqual([type(p) for p in seen], [ustream])
        self.assertEqual(seen, [u"caf\xe9"])

    def test_relpath_tests_path_only(self):
        self.assertEqual(dorvane.relpath(self.dir, self.path("no", "such")), u"../..")
        self.assertMissing(dorvane.relpath, self.path("missing"))


class ResultTest(TempDirTest):
    def test_path_results(self):
        name = self.touch("caf\xc3\xa9 it's.txt")
        with cwd(self.dir):
            self.assertEqual(dorvane.abspath("caf\xc3\xa9 it's.txt"), name.decode("utf-8"))
            self.assertEqual(dorvane.relpath(name), u"caf\xe9 it's.txt")
        self.assertEqual(dorvane.basename(name), u"caf\xe9 it's.txt")
        self.assertEqual(dorvane.dirname(name), self.dir.decode("utf-8"))
        os.symlink(name, self.path("link"))
        self.assertEqual(dorvane.realpath(self.path("link")), os.path.realpath(name).decode("utf-8"))
        for f in (dorvane.abspath, dorvane.basename, dorvane.dirname, dorvane.realpath):
            self.assertIs(type(f(name)), ustream)

    def test_tests_answer_booleans(self):
        name = self.touch("file")
        os.symlink(name, self.path("link"))
        self.assertEqual([dorvane.isfile(name), dorvane.isdir(name), dorvane.islink(name)],
                         [True, False, False])
        self.assertIs(dorvane.islink(self.path("link")), True)
        self.assertIs(dorvane.ismount("/"), True)
        self.assertIs(dorvane.isabs(self.dir), True)
        with cwd(self.dir):
            self.assertIs(dorvane.isabs("file"), False)

    def test_numbers(self):
        name = self.write("data", "\0" * 12345)
        os.utime(name, (1000000000, 1200000000))
        self.assertEqual(dorvane.getsize(name), 12345)
        self.assertIs(type(dorvane.getsize(name)), int)
        self.assertEqual(dorvane.getatime(name), 1000000000.0)
        self.assertEqual(dorvane.getmtime(name), 1200000000.0)
        self.assertIs(type(dorvane.getctime(name)), float)

    def test_times_are_floats_even_from_integers(self):
        class FakePath(object):
            exists = staticmethod(lambda p: True)
            getmtime = staticmethod(lambda p: 7)
            getatime = staticmethod(lambda p: "8.5")
            getctime = staticmethod(lambda p: object())

        class FakeOs(object):
            path = FakePath

        with Rebinding(dorvane, os=FakeOs):
            self.assertEqual(repr(dorvane.getmtime("x")), "7.0")
            self.assertEqual(dorvane.getatime("x"), 8.5)
            self.assertRaises(TypeError, dorvane.getctime, "x")

    def test_listdir(self):
        self.assertEqual(dorvane.listdir(self.dir), [])
        for name in ["b", "a", "caf\xc3\xa9", "with blank", "q'uote"]:
            self.touch(name)
        listed = dorvane.listdir(self.dir)
        self.assertIs(type(listed), list)
        self.assertEqual(listed, [n.decode("utf-8") for n in os.listdir(self.dir)])
        self.assertEqual(set(type(n) for n in listed), set([ustream]))
        self.assertEqual(dorvane.listdir(self.dir), listed)


if __name__ == "__main__":
    unittest.main()

# -*- coding: utf-8 -*-
"""Path functions and file-system operations: the existence guard, result
types, odd names, and what a failure leaves alone."""
import errno
import os
import stat
import unittest

import dorvane
from ondrel import ustream

from support import FakeOs, Rebinding, TempDirTest, as_str, as_text, cwd, py2_only

TEXT_NAME = u"caf\xe9 it's \"odd\" $(x).txt"
NAME = as_str(TEXT_NAME)
QUERIES = ["abspath", "basename", "dirname", "realpath", "relpath", "listdir", "ismount",
           "islink", "isfile", "isdir", "isabs", "getsize", "getmtime", "getctime", "getatime"]


class UnguardedTest(TempDirTest):
    def test_answers_and_their_types(self):
        name = self.write(NAME, b"\0" * 12345)
        for f in (dorvane.exists, dorvane.lexists):  # never guarded, so never raising for a missing path
            self.assertEqual([f(name), f(ustream(name)), f(self.path("missing"))], [True, True, False])
        os.utime(name, (1000000000, 1200000000))
        os.symlink(name, self.path("link"))
        text = TEXT_NAME
        pair = (tuple, ustream)
        cases = [(dorvane.split, ("/a/b/",), (u"/a/b", u""), pair),
                 (dorvane.splitext, ("a/b.tar.gz",), (u"a/b.tar", u".gz"), pair),
                 (dorvane.splitdrive, ("/x/y",), (u"", u"/x/y"), pair),
                 (dorvane.normpath, ("/no//such/../path/.",), u"/no/path", ustream),
                 (dorvane.normcase, ("/No/Such",), u"/No/Such", ustream),
                 (dorvane.join, (u"caf\xe9", as_str(u"caf\xe9")), u"caf\xe9/caf\xe9", ustream),
                 (dorvane.join, ("root", [ustream("a"), "b", u"c"]), u"root/a/b/c", ustream),
                 (dorvane.abspath, (NAME,), as_text(name), ustream),
                 (dorvane.relpath, (name,), text, ustream),
                 (dorvane.basename, (name,), text, ustream),
                 (dorvane.dirname, (name,), as_text(self.dir), ustream),
                 (dorvane.realpath, (self.path("link"),), as_text(os.path.realpath(name)), ustream),
                 (dorvane.isfile, (name,), True, bool), (dorvane.isdir, (name,), False, bool),
                 (dorvane.islink, (self.path("link"),), True, bool),
                 (dorvane.ismount, ("/",), True, bool), (dorvane.isabs, (NAME,), False, bool),
                 (dorvane.getsize, (name,), 12345, int), (dorvane.getatime, (name,), 1000000000, float),
                 (dorvane.getmtime, (name,), 1200000000, float),
                 (dorvane.getctime, (name,), os.stat(name).st_ctime, float),
                 (dorvane.listdir, (self.dir,), [as_text(n) for n in os.listdir(self.dir)], list)]
        with cwd(self.dir):
            for f, args, expected, kind in cases:
                answer = f(*args)
                self.assertEqual(answer, expected, f.__name__)
                if kind is pair:
                    self.assertEqual([type(answer)] + [type(part) for part in answer], [tuple, ustream, ustream])
                else:
                    self.assertIs(type(answer), kind, f.__name__)
        self.assertEqual(set(type(n) for n in dorvane.listdir(self.dir)), set([ustream]))

    def test_normpath_fetches_function_before_converting(self):
        converted = []
        with Rebinding(dorvane, os=object, ustream=lambda v: converted.append(v)):
            self.assertRaises(AttributeError, dorvane.normpath, "x")
            self.assertEqual(converted, [])
            self.assertRaises(AttributeError, dorvane.split, "x")
            self.assertEqual(converted, ["x"])

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


class GuardTest(TempDirTest):
    def test_missing_path_changes_nothing_and_a_dangling_link_is_missing(self):
        missing, dest = self.path("missing"), self.path("dest")
        for name in QUERIES:
            for path in (missing, "relative-and-missing", self.path(NAME)):
                self.assertMissing(getattr(dorvane, name), path)
        for f in (dorvane.remove, dorvane.unlink, dorvane.rmdir, dorvane.chdir, dorvane.chroot):
            self.assertMissing(f, missing)
        self.assertMissing(dorvane.chmod, missing, 0o644)
        self.assertMissing(dorvane.chown, missing, 0, 0)
        for f in (dorvane.link, dorvane.copy, dorvane.move):
            self.assertMissing(f, missing, dest)
            self.assertMissing(f, missing, self.path("no", "dir"))
        self.assertEqual(os.listdir(self.dir), [])
        # A dangling link is missing, and stays.
        link = self.path("dangling")
        dorvane.symlink(self.path("nowhere"), link)  # unguarded: no complaint
        self.assertEqual((dorvane.exists(link), dorvane.lexists(link)), (False, True))
        for f in (dorvane.islink, dorvane.remove, dorvane.unlink):
            self.assertMissing(f, link)
        self.assertTrue(os.path.islink(link))

    def test_missing_path_reported_before_os_is_looked_up(self):
        with Rebinding(dorvane, os=None, shutil=None, exists=os.path.exists):
            del dorvane.os, dorvane.shutil
            self.assertMissing(dorvane.remove, self.path("missing"))
            self.assertMissing(dorvane.copy, self.path("missing"), self.path("d"))
            self.assertRaises(NameError, dorvane.remove, self.touch("present"))
        self.assertTrue(os.path.exists(self.path("present")))

    def test_module_exists_decides(self):
        with Rebinding(dorvane, exists=lambda path: True):
            self.assertIs(dorvane.isfile(self.path("missing")), False)
            caught = self.raised(OSError, lambda: dorvane.listdir(self.touch("file")))
            self.assertEqual(caught.errno, errno.ENOTDIR)
        seen = []
        with Rebinding(dorvane, exists=lambda path: seen.append(path) or True):
            dorvane.basename(as_str(u"caf\xe9"))
        self.assertEqual(seen, [u"caf\xe9"])
        self.assertIs(type(seen[0]), ustream)
        with Rebinding(dorvane, exists=lambda path: {}[path]):  # its failure propagates
            self.assertRaises(KeyError, dorvane.abspath, self.dir)
        # Times are floats even from integers or text.
        with Rebinding(dorvane, os=FakeOs(exists=lambda p: True, getmtime=lambda p: 7,
                                          getatime=lambda p: "8.5", getctime=lambda p: object())):
            self.assertEqual(repr(dorvane.getmtime("x")), "7.0")
            self.assertEqual(dorvane.getatime("x"), 8.5)
            self.assertRaises(TypeError, dorvane.getctime, "x")
        # relpath tests its path only, never where it starts from.
        self.assertEqual(dorvane.relpath(self.dir, self.path("no", "such")), u"../..")


class EffectsTest(TempDirTest):
    """What dorvane adds to the standard calls (the load suite runs each of them)."""

    def test_conversions_and_refusals(self):
        name = self.touch(NAME)
        self.assertRaises(ValueError, dorvane.chmod, name, "rw")
        self.assertRaises(ValueError, dorvane.chown, name, 0, "x")
        for mode, expected in (("420", 0o644), (384.9, 0o600), (0o751, 0o751)):  # decimal text; truncated
            dorvane.chmod(path=name, mode=mode)
            self.assertEqual(stat.S_IMODE(os.stat(name).st_mode), expected)
        if os.geteuid() == 0:
            dorvane.chown(name, 1234, "4321")
            self.assertEqual((os.stat(name).st_uid, os.stat(name).st_gid), (1234, 4321))
        with Rebinding(dorvane, exists=lambda p: self.fail("mkdir must not test")):
            self.assertEqual(self.raised(OSError, dorvane.mkdir, self.path("no", "parent")).errno,
                             errno.ENOENT)
        os.mkdir(self.path("d"))
        self.touch("d", "inside")
        self.assertEqual(self.raised(OSError, dorvane.rmdir, self.path("d")).errno, errno.ENOTEMPTY)
        self.assertRaises(IOError, dorvane.copy, name, self.path("no", "dir", "x"))
        dorvane.copy(name, self.path("d"))  # into a directory, with the mode
        self.assertEqual(stat.S_IMODE(os.stat(self.path("d", NAME)).st_mode), 0o751)
        with cwd("/"):
            dorvane.chdir(self.dir)
            self.assertEqual(dorvane.getcwd(), os.path.realpath(self.dir))
            self.assertIs(type(dorvane.getcwd()), ustream)


if __name__ == "__main__":
    unittest.main()

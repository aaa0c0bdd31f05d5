# -*- coding: utf-8 -*-
"""File-system operations: their effect on disk, and what a failure leaves alone."""
import errno
import os
import stat
import unittest

import dorvane

from support import Rebinding, TempDirTest, cwd

NAME = "caf\xc3\xa9 it's \"odd\" $(x).txt"


class GuardedOperationsTest(TempDirTest):
    def test_missing_path_changes_nothing(self):
        missing, dest = self.path("missing"), self.path("dest")
        for f in (dorvane.remove, dorvane.unlink, dorvane.rmdir, dorvane.chdir, dorvane.chroot):
            self.assertMissing(f, missing)
        self.assertMissing(dorvane.chmod, missing, 0644)
        self.assertMissing(dorvane.chown, missing, 0, 0)
        for f in (dorvane.link, dorvane.copy, dorvane.move):
            self.assertMissing(f, missing, dest)
            self.assertMissing(f, missing, self.path("no", "dir"))
        self.assertEqual(os.listdir(self.dir), [])

    def test_dangling_link_is_not_removed(self):
        link = self.path("dangling")
        dorvane.symlink(self.path("nowhere"), link)  # unguarded: no complaint
        self.assertTrue(os.path.islink(link))
        self.assertMissing(dorvane.remove, link)
        self.assertMissing(dorvane.unlink, link)
        self.assertTrue(os.path.islink(link))

    def test_missing_path_reported_before_os_is_looked_up(self):
        with Rebinding(dorvane, os=None, shutil=None, exists=os.path.exists):
            del dorvane.os, dorvane.shutil
            self.assertMissing(dorvane.remove, self.path("missing"))
            self.assertMissing(dorvane.copy, self.path("missing"), self.path("d"))
            self.assertRaises(NameError, dorvane.remove, self.touch("present"))
        self.assertTrue(os.path.exists(self.path("present")))

    def test_bad_number_changes_nothing(self):
        name = self.touch(NAME)
        os.chmod(name, 0600)
        self.assertRaises(ValueError, dorvane.chmod, name, "rw")
        self.assertRaises(ValueError, dorvane.chown, name, 0, "x")
        self.assertEqual(stat.S_IMODE(os.stat(name).st_mode), 0600)


class EffectsTest(TempDirTest):
    def mode(self, path):
        return stat.S_IMODE(os.stat(path).st_mode)

    def test_remove_unlink_rmdir(self):
        dorvane.remove(self.touch(NAME))
        dorvane.unlink(self.touch("other"))
        os.mkdir(self.path("d"))
        self.touch("d", "inside")
        with self.assertRaises(OSError) as caught:
            dorvane.rmdir(self.path("d"))
        self.assertEqual(caught.exception.errno, errno.ENOTEMPTY)
        os.remove(self.path("d", "inside"))
        dorvane.rmdir(self.path("d"))
        with self.assertRaises(OSError) as caught:
            dorvane.rmdir(self.touch("file"))
        self.assertEqual(caught.exception.errno, errno.ENOTDIR)
        self.assertRaises(OSError, dorvane.remove, self.dir)
        self.assertEqual(os.listdir(self.dir), ["file"])

    def test_mkdir(self):
        dorvane.mkdir(self.path(NAME))
        self.assertTrue(os.path.isdir(self.path(NAME)))
        with Rebinding(dorvane, exists=lambda p: self.fail("mkdir must not test")):
            with self.assertRaises(OSError) as caught:
                dorvane.mkdir(self.path("no", "parent"))
            self.assertEqual(caught.exception.errno, errno.ENOENT)
            self.assertRaises(OSError, dorvane.mkdir, self.path(NAME))
        self.assertRaises(TypeError, dorvane.mkdir, self.path("x"), 0700)

    def test_chmod_converts_with_int(self):
        name = self.touch(NAME)
        dorvane.chmod(name, "420")  # decimal: 0644
        self.assertEqual(self.mode(name), 0644)
        dorvane.chmod(name, 384.9)  # truncated: 0600
        self.assertEqual(self.mode(name), 0600)
        dorvane.chmod(path=name, mode=0751)
        self.assertEqual(self.mode(name), 0751)

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_chown(self):
        name = self.touch(NAME)
        dorvane.chown(name, 1234, "4321")
        st = os.stat(name)
        self.assertEqual((st.st_uid, st.st_gid), (1234, 4321))

    def test_copy_move_link_symlink(self):
        src = self.touch(NAME)
        os.chmod(src, 0751)
        dorvane.copy(src, self.path("copy"))
        self.assertEqual(open(self.path("copy")).read(), "x")
        self.assertEqual(self.mode(self.path("copy")), 0751)
        os.mkdir(self.path("d"))
        dorvane.copy(src, self.path("d"))  # into a directory
        self.assertTrue(os.path.exists(self.path("d", NAME)))
        dorvane.link(src, self.path("hard"))
        self.assertEqual(os.stat(src).st_ino, os.stat(self.path("hard")).st_ino)
        dorvane.move(self.path("hard"), self.path("d"))
        self.assertTrue(os.path.exists(self.path("d", "hard")))
        self.assertFalse(os.path.exists(self.path("hard")))
        dorvane.symlink(src, self.path("sym"))
        self.assertEqual(os.readlink(self.path("sym")), src)
        self.assertRaises(IOError, dorvane.copy, src, self.path("no", "dir", "x"))

    def test_chdir(self):
        with cwd("/"):
            dorvane.chdir(self.dir)
            self.assertEqual(dorvane.getcwd(), os.path.realpath(self.dir))
            self.assertRaises(OSError, dorvane.chdir, self.path("missing"))
            self.assertEqual(os.getcwd(), os.path.realpath(self.dir))

    @unittest.skipUnless(os.geteuid() == 0, "needs root")
    def test_chroot_in_a_child(self):
        self.touch("marker")
        pid = os.fork()
        if pid == 0:
            try:
                dorvane.chroot(self.dir)
                os._exit(0 if os.listdir("/") == ["marker"] else 1)
            except BaseException:
                os._exit(2)
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.WEXITSTATUS(status), 0)


if __name__ == "__main__":
    unittest.main()

# -*- coding: utf-8 -*-
"""Temporary names, directories and streams."""
import errno
import os
import tempfile
import unittest

import dorvane
from ondrel import fstream, ustream

from support import Rebinding, TempDirTest


class TempTest(TempDirTest):
    def setUp(self):
        TempDirTest.setUp(self)
        self.addCleanup(setattr, tempfile, "tempdir", tempfile.tempdir)
        tempfile.tempdir = self.dir

    def test_names_and_directories_land_in_the_temporary_directory_suffix_first(self):
        name = dorvane.tmpname()
        self.assertIs(type(name), ustream)
        self.assertEqual(os.path.dirname(name), self.dir)
        self.assertTrue(os.path.basename(name).startswith("tmp"))
        self.assertFalse(os.path.lexists(name))
        base = os.path.basename(dorvane.tmpname(".txt", u"caf\xe9-"))
        self.assertTrue(base.startswith(u"caf\xe9-") and base.endswith(".txt"), base)
        base = os.path.basename(dorvane.tmpname(prefix="only-"))
        self.assertTrue(base.startswith("only-") and "." not in base, base)
        path = dorvane.tmpdir("-sfx", "pfx-")
        base = os.path.basename(path)
        self.assertTrue(base.startswith("pfx-") and base.endswith("-sfx"), base)

    def test_stream_writes_where_the_path_says(self):
        path, stream = dorvane.tmpfstream(".log", "run-")
        self.assertIs(type(path), ustream)
        self.assertIsInstance(stream, fstream)
        self.assertEqual(stream.mode, "x")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)  # created at once, as mkstemp makes it
        with stream:
            stream.write(b"hello\n")
        self.assertEqual(open(path).read(), "hello\n")
        self.assertTrue(os.path.basename(path).startswith("run-") and path.endswith(".log"))
        for text, mode in [(None, "xb"), ("yes", "x")]:
            path, stream = dorvane.tmpfstream(text=text)
            stream.close()
            self.assertEqual(stream.mode, mode, repr(text))

    def test_name_from_the_module_tmpname_is_created_never_followed(self):
        chosen = self.path("chosen")
        with Rebinding(dorvane, tmpname=lambda s, p: ustream(chosen)):
            path, stream = dorvane.tmpfstream()
            stream.close()
        self.assertTrue(path == chosen and os.path.exists(chosen))
        victim = self.write("victim", b"precious")
        planted = self.path("planted")
        os.symlink(victim, planted)
        existing = self.write("existing", b"mine")
        for name in (planted, existing):
            with Rebinding(dorvane, tmpname=lambda s, p: ustream(name)):
                caught = self.raised(EnvironmentError, dorvane.tmpfstream)
            self.assertEqual((caught.errno, caught.filename), (errno.EEXIST, name))
        self.assertEqual(os.readlink(planted), victim)
        self.assertEqual(open(victim).read(), "precious")
        self.assertEqual(open(existing).read(), "mine")
        self.assertEqual(sorted(os.listdir(self.dir)), ["chosen", "existing", "planted", "victim"])


if __name__ == "__main__":
    unittest.main()

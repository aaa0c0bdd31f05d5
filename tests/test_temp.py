# -*- coding: utf-8 -*-
"""Temporary names, directories and streams."""
import errno
import os
import shutil
import tempfile
import unittest

import dorvane
from ondrel import fstream, ustream

from support import Rebinding


class NameTest(unittest.TestCase):
    def test_names_land_in_the_temporary_directory_suffix_first(self):
        name = dorvane.tmpname()
        self.assertIs(type(name), ustream)
        self.assertEqual(os.path.dirname(name), tempfile.gettempdir())
        self.assertTrue(os.path.basename(name).startswith("tmp"))
        self.assertFalse(os.path.lexists(name))
        base = os.path.basename(dorvane.tmpname(".txt", u"caf\xe9-"))
        self.assertTrue(base.startswith(u"caf\xe9-") and base.endswith(".txt"), base)
        base = os.path.basename(dorvane.tmpname(prefix="only-"))
        self.assertTrue(base.startswith("only-") and "." not in base, base)

    def test_directory_exists_and_is_empty(self):
        path = dorvane.tmpdir("-sfx", "pfx-")
        try:
            self.assertEqual(os.listdir(path), [])
            base = os.path.basename(path)
            self.assertTrue(base.startswith("pfx-") and base.endswith("-sfx"), base)
        finally:
            os.rmdir(path)


class StreamTest(unittest.TestCase):
    def setUp(self):
        self.made = []

    def tearDown(self):
        for path in self.made:
            if os.path.exists(path):
                os.remove(path)

    def open(self, *args, **kwargs):
        path, stream = dorvane.tmpfstream(*args, **kwargs)
        self.made.append(path)
        return path, stream

    def test_stream_writes_where_the_path_says(self):
        path, stream = self.open(".log", "run-")
        self.assertIs(type(path), ustream)
        self.assertIsInstance(stream, fstream)
        self.assertTrue(os.path.exists(path))  # created at once
        self.assertEqual(stream.mode, "x")
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)  # as mkstemp makes it
        with stream:
            stream.write("hello\n")
        self.assertEqual(open(path).read(), "hello\n")
        self.assertTrue(os.path.basename(path).endswith(".log"))
        for text, mode in [(False, "xb"), (0, "xb"), (None, "xb"), (True, "x"), ("yes", "x")]:
            path, stream = self.open(text=text)
            stream.close()
            self.assertEqual(stream.mode, mode, repr(text))

    def test_filter_reaches_fstream_untranslated_and_compresses(self):
        calls = []
        with Rebinding(dorvane, fstream=lambda *a: calls.append(a) or "stream"):
            path, stream = dorvane.tmpfstream(filter="gz")
            dorvane.tmpfstream()
        self.assertEqual(stream, "stream")
        self.assertEqual(calls[0], (path, "x", u"gz"))
        self.assertIs(type(calls[0][2]), ustream)
        self.assertIs(calls[1][2], None)
        path, stream = self.open(".gz", filter="gz", text=False)
        with stream:
            stream.write("compressed " * 100)
        self.assertEqual(fstream(path, "rb", "gzip").read(), "compressed " * 100)

    def test_name_comes_from_the_module_tmpname(self):
        target = tempfile.mkdtemp()
        try:
            chosen = os.path.join(target, "chosen")
            with Rebinding(dorvane, tmpname=lambda s, p: ustream(chosen)):
                path, stream = dorvane.tmpfstream()
                stream.close()
            self.assertEqual(path, chosen)
            self.assertTrue(os.path.exists(chosen))
        finally:
            shutil.rmtree(target)

    def test_planted_link_or_file_is_refused_not_followed(self):
        target = tempfile.mkdtemp()
        try:
            victim = os.path.join(target, "victim")
            with open(victim, "w") as f:
                f.write("precious")
            planted = os.path.join(target, "planted")
            os.symlink(victim, planted)
            existing = os.path.join(target, "existing")
            with open(existing, "w") as f:
                f.write("mine")
            for name in (planted, existing):
                with Rebinding(dorvane, tmpname=lambda s, p: ustream(name)):
                    with self.assertRaises(EnvironmentError) as caught:
                        dorvane.tmpfstream()
                self.assertEqual(caught.exception.errno, errno.EEXIST)
                self.assertEqual(caught.exception.filename, name)
            self.assertEqual(os.readlink(planted), victim)
            self.assertEqual(open(victim).read(), "precious")
            self.assertEqual(open(existing).read(), "mine")
            self.assertEqual(sorted(os.listdir(target)), ["existing", "planted", "victim"])
        finally:
            shutil.rmtree(target)

    def test_argument_errors(self):
        for call, text in [(lambda: dorvane.tmpfstream(1, 2, 3, 4, 5),
                            "tmpfstream() takes at most 4 positional arguments (5 given)"),
                           (lambda: dorvane.tmpname(**{3: "x"}), "tmpname() keywords must be strings"),
                           (lambda: dorvane.tmpdir(sufix="x"),
                            "tmpdir() got an unexpected keyword argument 'sufix'")]:
            with self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(str(caught.exception), text)


if __name__ == "__main__":
    unittest.main()

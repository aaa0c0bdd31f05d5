"""What only 3.x has: names that are bytes and not UTF-8, path objects, str written to a
file, FileNotFoundError, and the 3.x types of what the streams answer."""
import os
import unittest

import dorvane
from ondrel import bstream, fstream, ustream

from support import PY3, TempDirTest

if PY3:
    import pathlib

UNDECODABLE = b"\xff\xfe"  # no UTF-8 text; 3.x names it "\udcff\udcfe"


class FsPath(object):
    """An os.PathLike that is neither str nor pathlib."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@unittest.skipUnless(PY3, "3.x only")
class Python3Test(TempDirTest):
    def test_undecodable_bytes_name_from_creation_to_removal(self):
        where = os.fsencode(self.dir)
        name = os.path.join(where, UNDECODABLE)
        with fstream(name, "wb") as f:
            f.write(b"payload")
        self.assertEqual(os.listdir(where), [UNDECODABLE])  # the very bytes, not re-encoded
        for directory in (where, self.dir):
            self.assertEqual(dorvane.listdir(directory), [u"\udcff\udcfe"])
        self.assertEqual(dorvane.exists(name), True)
        self.assertEqual(dorvane.exists(os.fsdecode(name)), True)
        self.assertEqual(dorvane.cat(name), b"payload")
        dorvane.compress(name, name + b".gz", "gz")
        dorvane.move(os.fsdecode(name) + ".gz", name + b".moved")
        self.assertEqual(sorted(os.listdir(where)), [UNDECODABLE, UNDECODABLE + b".moved"])
        self.assertEqual(dorvane.cat(name + b".moved", "gz"), b"payload")
        dorvane.remove(name + b".moved")
        dorvane.remove(os.fsdecode(name))
        self.assertEqual((dorvane.exists(name), os.listdir(where)), (False, []))
        # The guard names a missing one as os.fsdecode does.
        caught = self.raised(FileNotFoundError, dorvane.getsize, name)
        self.assertEqual((caught.errno, caught.filename), (2, os.fsdecode(name)))

    def test_path_objects(self):
        source = self.write("source", b"text " * 1000)
        for path in (pathlib.Path(source), FsPath(source), FsPath(os.fsencode(source))):
            self.assertEqual((dorvane.exists(path), dorvane.getsize(path)), (True, 5000))
            self.assertEqual(dorvane.basename(path), u"source")
            self.assertEqual(dorvane.join(self.dir, [path, "x"]), source + "/x")
            packed = pathlib.Path(source + ".xz")
            dorvane.compress(path, packed, "xz")
            self.assertEqual(fstream(packed, filter="xz").read(), b"text " * 1000)
        missing = pathlib.Path(self.path("missing"))
        caught = self.raised(FileNotFoundError, dorvane.isfile, missing)
        self.assertEqual((caught.errno, caught.filename), (2, str(missing)))
        self.assertRaises(TypeError, dorvane.exists, FsPath(3))

    def test_str_is_written_as_utf8(self):
        text = u"caf\xe9 \u20ac\n"
        for mode, filter_name in (("w", None), ("wb", None), ("wb", "gz")):
            with fstream(self.path("f"), mode, filter_name) as f:
                f.write(text)
            data = fstream(self.path("f"), filter=filter_name).read()
            self.assertEqual((type(data), data), (bstream, text.encode("utf-8")), mode)

    def test_bytes_and_str_do_not_mix(self):
        # The answers' own types are bstream and ustream (test_ondrel, test_paths).
        self.assertIs(type(str(ustream(u"x"))), str)
        self.assertEqual(ustream(b"a\xffb"), u"a\udcffb")  # decoded as os.fsdecode does
        self.assertNotEqual(ustream(u"a"), b"a")
        for mixed in (lambda: ustream(u"a") + b"b", lambda: bstream(b"a") + u"b",
                      lambda: ustream(u"a").replace(b"a", u"b")):
            self.assertRaises(TypeError, mixed)

    def test_argv_is_the_interpreters_with_the_script_resolved(self):
        self.write("show.py", b"import os, sys, dorvane\n"
                              b"print(dorvane.argv[0] == os.path.realpath(sys.argv[0]), dorvane.argv[1:] == sys.argv[1:],"
                              b" set(type(a).__name__ for a in dorvane.argv))\n")
        os.symlink("show.py", self.path("link.py"))
        lines = self.child(None, ["link.py", u"caf\xe9", u"\udcff"], cwd=self.dir)  # the last one is b"\xff"
        self.assertEqual(lines, ["True True {'ustream'}"])

    def test_whole_file_results_under_the_allocators_hooks(self):
        # A hook in front of the object allocator refuses memory it did not
        # hand out, with a fatal error rather than an exception.
        source = self.write("big", os.urandom(1 << 20))
        code = """
            import sys, dorvane
            data = dorvane.cat(sys.argv[1])
            dorvane.compress(sys.argv[1], sys.argv[1] + ".xz", "xz")
            again = dorvane.cat(sys.argv[1] + ".xz", "xz")
            print(len(data), data == again == open(sys.argv[1], "rb").read())
            del data, again
            """
        for hooks in ({"PYTHONDEVMODE": "1"}, {"PYTHONTRACEMALLOC": "1"}, {"PYTHONMALLOC": "malloc"}):
            self.assertEqual(self.child(code, [source], **hooks), ["1048576 True"], hooks)


if __name__ == "__main__":
    unittest.main()

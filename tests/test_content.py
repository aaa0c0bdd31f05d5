# -*- coding: utf-8 -*-
"""cat, compress and decompress: filter names, round trips, failures."""
import os
import subprocess
import unittest

import dorvane
from ondrel import StreamError, ustream

from support import Rebinding, TempDirTest

FILTERS = ["gzip", "gz", "bzip2", "bz2", "lzop", "lzo", "xz", "lzma"]
# The command-line tool that reads each canonical format.
READERS = {"gzip": ["gzip", "-dc"], "bzip2": ["bzip2", "-dc"], "lzop": ["lzop", "-dc"],
           "xz": ["xz", "-dc"], "lzma": ["xz", "--format=lzma", "-dc"]}
WRITERS = dict((name, tool[:-1] + ["-c"]) for name, tool in READERS.items())
CANONICAL = {"gz": "gzip", "bz2": "bzip2", "lzo": "lzop"}


class RecordingStream(object):
    """Stands in for fstream: records how it was opened, fails on demand."""
    opened = []

    def __init__(self, path, mode, filter="absent", swallow=False, fail=False):
        self.opened.append((path, mode, filter))
        self.swallow, self.fail = swallow, fail

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return self.swallow

    def read(self):
        if self.fail:
            raise IOError("read failed")
        return "content"

    def write(self, data):
        if self.fail:
            raise IOError("write failed")


class FilterNameTest(TempDirTest):
    def setUp(self):
        TempDirTest.setUp(self)
        RecordingStream.opened = []

    def test_names_and_aliases_reach_fstream(self):
        with Rebinding(dorvane, fstream=RecordingStream):
            for given in FILTERS + [u"gz", ustream("bz2")]:
                dorvane.cat("p", given)
            dorvane.cat("p")
            dorvane.cat("p", filter=None)
        filters = [f for _, _, f in RecordingStream.opened]
        expected = [CANONICAL.get(f, f) for f in FILTERS] + ["gzip", "bzip2", None, None]
        self.assertEqual(filters, expected)
        self.assertEqual(set(type(f) for f in filters[:-2]), set([ustream]))
        self.assertEqual(set(m for _, m, _ in RecordingStream.opened), set(["rb"]))

    def test_rejected_names(self):
        for bad in ["GZ", "GZIP", "gzip ", "zip", "", u"Xz"]:
            for call in (lambda: dorvane.cat(self.path("missing"), bad),
                         lambda: dorvane.compress(self.touch("src"), self.path("d"), bad),
                         lambda: dorvane.decompress(self.touch("src"), self.path("d"), bad)):
                with self.assertRaises(StreamError) as caught:
                    call()
                self.assertEqual(caught.exception.args, (6, unicode(bad)))
        with self.assertRaises(StreamError) as caught:
            dorvane.compress(self.touch("src"), self.path("d"), None)
        self.assertEqual(caught.exception.args, (6, u"None"))
        self.assertFalse(os.path.exists(self.path("d")))

    def test_missing_source_wins_over_bad_filter(self):
        for f in (dorvane.compress, dorvane.decompress):
            with self.assertRaises(OSError) as caught:
                f(self.path("missing"), self.path("d"), "zip")
            self.assertEqual(caught.exception.errno, 2)

    def test_cat_leaves_missing_files_to_fstream(self):
        with self.assertRaises(IOError) as caught:
            dorvane.cat(self.path("missing"))
        self.assertNotIsInstance(caught.exception, OSError)

    def test_swallowed_read_leaves_result_unbound(self):
        opener = lambda *a, **k: RecordingStream(*a, swallow=True, fail=True, **k)
        with Rebinding(dorvane, fstream=opener):
            with self.assertRaises(UnboundLocalError) as caught:
                dorvane.cat("p")
            self.assertEqual(str(caught.exception),
                             "local variable 'result' referenced before assignment")
        # A swallowed write is simply done.
        with Rebinding(dorvane, fstream=opener, cat=lambda *a, **k: "data"):
            self.assertIsNone(dorvane.compress(self.touch("s"), self.path("d"), "gz"))


class RoundTripTest(TempDirTest):
    DATA = "".join(chr(i) for i in range(256)) * 64 + "tail" * 10000

    def test_every_filter_round_trips_and_interoperates(self):
        for data in (self.DATA, ""):
            src = self.write("src", data)
            for given in FILTERS:
                name = CANONICAL.get(given, given)
                packed, plain = self.path(given + ".packed"), self.path(given + ".plain")
                self.assertIsNone(dorvane.compress(src, packed, given))
                self.assertEqual(subprocess.check_output(READERS[name] + [packed]), data)
                self.assertIsNone(dorvane.decompress(packed, plain, given))
                self.assertEqual(open(plain, "rb").read(), data)
                theirs = self.write(given + ".theirs", subprocess.check_output(WRITERS[name] + [src]))
                self.assertEqual(dorvane.cat(theirs, given), data)

    def test_corrupt_input_is_never_a_result(self):
        src = self.write("src", self.DATA)
        for name in READERS:
            packed = self.path(name + ".packed")
            dorvane.compress(src, packed, name)
            whole = open(packed, "rb").read()
            half = len(whole) // 2
            truncated = self.write(name + ".cut", whole[:half])
            flipped = self.write(name + ".flip",
                                 whole[:half] + chr(ord(whole[half]) ^ 0x10) + whole[half + 1:])
            for broken in (truncated, flipped):
                self.assertRaises(StreamError, dorvane.cat, broken, name)
                self.assertRaises(StreamError, dorvane.decompress, broken, self.path("out"), name)
                self.assertFalse(os.path.exists(self.path("out")), name)
            self.assertRaises(StreamError, dorvane.cat, src, name)  # not that format


if __name__ == "__main__":
    unittest.main()

# -*- coding: utf-8 -*-
"""cat, compress and decompress: filter names, the codec each reaches, failures."""
import errno
import os
import threading
import unittest

import dorvane
from ondrel import StreamError, fstream, ustream

from support import ALIASES, FILTERS, HEADERS, PY3, TEXT, Rebinding, TempDirTest, outcome


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

    def read(self, *data):
        if self.fail:
            raise IOError("failed")
        return b"content"

    write = read


class FilterNameTest(TempDirTest):
    def test_names_and_aliases_reach_fstream(self):
        RecordingStream.opened = []
        given = FILTERS + sorted(ALIASES)
        with Rebinding(dorvane, fstream=RecordingStream):
            for name in given + [u"gz", ustream("bz2")]:
                dorvane.cat("p", name)
            dorvane.cat("p")
            dorvane.cat("p", filter=None)
        filters = [f for _, _, f in RecordingStream.opened]
        expected = [ALIASES.get(f, f) for f in given] + ["gzip", "bzip2", None, None]
        self.assertEqual(filters, expected)
        self.assertEqual(set(type(f) for f in filters[:-2]), set([ustream]))
        self.assertEqual(set(m for _, m, _ in RecordingStream.opened), set(["rb"]))
        # A read failure swallowed by __exit__ leaves no result; a swallowed write is simply done.
        opener = lambda *a, **k: RecordingStream(*a, swallow=True, fail=True, **k)
        with Rebinding(dorvane, fstream=opener):
            caught = self.raised(UnboundLocalError, lambda: dorvane.cat("p"))
            self.assertEqual(str(caught),
                             "local variable 'result' referenced before assignment")
        with Rebinding(dorvane, fstream=opener, cat=lambda *a, **k: b"data"):
            self.assertIsNone(dorvane.compress(self.touch("s"), self.path("d"), "gz"))

    def test_rejected_names(self):
        for bad in ["GZ", "GZIP", "gzip ", "zip", "", u"Xz", u"g\xe9zip"]:
            for call in (lambda: dorvane.cat(self.path("missing"), bad),
                         lambda: dorvane.compress(self.touch("src"), self.path("d"), bad),
                         lambda: dorvane.decompress(self.touch("src"), self.path("d"), bad),
                         lambda: fstream(self.path("d"), "w", filter=bad)):
                caught = self.raised(StreamError, call)
                self.assertEqual(caught.args, (6, TEXT(bad)))
                self.assertIs(type(caught.strerror), TEXT)
        caught = self.raised(StreamError, lambda: dorvane.compress(self.touch("src"), self.path("d"), None))
        self.assertEqual(caught.args, (6, u"None"))
        self.assertRaises(TypeError, fstream, self.path("d"), "w", 5)
        self.assertFalse(os.path.exists(self.path("d")))
        for f in (dorvane.compress, dorvane.decompress):  # a missing source wins
            caught = self.raised(OSError, lambda: f(self.path("missing"), self.path("d"), "zip"))
            self.assertEqual(caught.errno, 2)
        # cat leaves a missing file to fstream: an IOError, not the guard's OSError
        # (which are one class on 3.x).
        caught = self.raised(IOError, lambda: dorvane.cat(self.path("missing")))
        if not PY3:
            self.assertNotIsInstance(caught, OSError)


class CodecReachedTest(TempDirTest):
    DATA = bytes(bytearray(range(256))) * 64 + b"tail" * 10000

    def test_every_name_reaches_its_codec(self):
        for data in (self.DATA, b""):
            src = self.write("src", data)
            for given in FILTERS + sorted(ALIASES):
                name = ALIASES.get(given, given)
                packed, plain = self.path(given + ".packed"), self.path(given + ".plain")
                self.assertIsNone(dorvane.compress(src, packed, given))
                self.assertTrue(open(packed, "rb").read().startswith(HEADERS[name]), given)
                self.assertIsNone(dorvane.decompress(packed, plain, given))
                self.assertEqual(open(plain, "rb").read(), data)
                self.assertEqual(dorvane.cat(packed, given), data)
                with fstream(self.path("f"), "wb", filter=given) as f:
                    self.assertEqual(f.filter, name)
                    f.write(data)
                self.assertTrue(open(self.path("f"), "rb").read().startswith(HEADERS[name]))
                self.assertEqual(fstream(self.path("f"), filter=name).read(), data)


class SliceCopyTest(TempDirTest):
    """compress and decompress with the module's own names copy in slices, with the
    outcome of reading the source whole, then writing the destination whole."""
    DATA = CodecReachedTest.DATA

    def test_source_failure_wins_and_devices_get_all_of_the_output_or_none(self):
        packed = self.path("src.lzo")
        dorvane.compress(self.write("src", self.DATA), packed, "lzop")
        whole = open(packed, "rb").read()
        broken = self.write("cut.lzo", whole[:len(whole) // 2])
        nowhere = self.path("no", "such", "dir")
        self.assertEqual(outcome(dorvane.decompress, broken, nowhere, "lzop")[::2],
                         ("StreamError", ["dorvane.decompress", "dorvane.cat"]))
        caught = self.raised(IOError, lambda: dorvane.decompress(packed, nowhere, "lzop"))
        self.assertEqual((caught.errno, caught.filename), (errno.ENOENT, ustream(nowhere)))
        self.assertRaises(StreamError, dorvane.decompress, broken, "/dev/full", "lzop")
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for source, expected in ((broken, b""), (packed, self.DATA)):
            got = []
            reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
            reader.start()
            try:
                dorvane.decompress(source, fifo, "lzop")
            except StreamError:
                open(fifo, "wb").close()  # lets the reader finish
            reader.join()
            self.assertEqual(got, [expected])

    def test_rebound_names_see_the_whole_file_steps(self):
        calls = []

        def spy(name, original):
            return lambda *a, **k: (calls.append(name), original(*a, **k))[1]

        src = self.write("src", self.DATA)
        for name in ("cat", "fstream", "bstream", "ustream"):
            del calls[:]
            with Rebinding(dorvane, **{name: spy(name, getattr(dorvane, name))}):
                dorvane.compress(src, self.path("out"), "gz")
            self.assertIn(name, calls)
            self.assertEqual(dorvane.cat(self.path("out"), "gz"), self.DATA)
        # cat takes None for a name to convert when NoneType is something else.
        with Rebinding(dorvane, NoneType=int):
            with self.assertRaises(TypeError):
                dorvane.compress(src, self.path("out"), "gz")


if __name__ == "__main__":
    unittest.main()

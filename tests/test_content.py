# -*- coding: utf-8 -*-
"""cat, compress and decompress: filter names, round trips, failures."""
import errno
import os
import subprocess
import threading
import unittest

import dorvane
from ondrel import StreamError, ustream

from support import Rebinding, TempDirTest, last_entry, run_python

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


class SliceCopyTest(TempDirTest):
    """compress and decompress with the module's own names copy in slices;
    the outcome must be that of reading the source whole, then writing the
    destination whole."""
    DATA = RoundTripTest.DATA

    def packed_and_broken(self, name):
        packed = self.path(name + ".packed")
        dorvane.compress(self.write("src", self.DATA), packed, name)
        whole = open(packed, "rb").read()
        return packed, self.write(name + ".cut", whole[:len(whole) // 2])

    def test_failed_source_leaves_destination_as_it_was(self):
        for name in READERS:
            packed, broken = self.packed_and_broken(name)
            existing = self.write("existing", "old")
            for dest in (existing, self.path("new")):
                before = sorted(os.listdir(self.dir))
                self.assertRaises(StreamError, dorvane.decompress, broken, dest, name)
                self.assertEqual(sorted(os.listdir(self.dir)), before, name)
            self.assertEqual(open(existing, "rb").read(), "old")

    def test_source_failure_wins_and_is_reported_as_cat_reports_it(self):
        packed, broken = self.packed_and_broken("gzip")
        nowhere = self.path("no", "such", "dir")
        try:
            dorvane.decompress(broken, nowhere, "gz")
        except StreamError:
            names = [e[2].split()[0] for e in last_entry(__import__("sys").exc_info())]
            self.assertEqual(names, ["dorvane.decompress", "dorvane.cat"])
        else:
            self.fail("a truncated source was accepted")
        with self.assertRaises(IOError) as caught:
            dorvane.decompress(packed, nowhere, "gz")
        self.assertEqual((caught.exception.errno, caught.exception.filename),
                         (errno.ENOENT, ustream(nowhere)))

    def test_result_has_the_mode_a_direct_write_gives_and_may_be_the_source(self):
        src = self.write("src", self.DATA)
        old = os.umask(0o027)
        try:
            dorvane.compress(src, self.path("new"), "xz")
        finally:
            os.umask(old)
        self.assertEqual(os.stat(self.path("new")).st_mode & 0o777, 0o640)
        os.chmod(src, 0o604)
        dorvane.compress(src, src, "bz2")
        dorvane.decompress(src, src, "bz2")
        self.assertEqual(open(src, "rb").read(), self.DATA)
        self.assertEqual(os.stat(src).st_mode & 0o777, 0o604)
        self.assertEqual(sorted(os.listdir(self.dir)), ["new", "src"])

    def test_failed_write_is_raised_for_the_destination_and_leaves_nothing(self):
        # A file size limit makes write(2) fail part-way, as a full disk would.
        code = """
import dorvane, os, resource, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
for src, name in zip(sys.argv[1::2], sys.argv[2::2]):
    for dest in ("existing", "new"):
        try:
            (dorvane.compress if name == "plain" else dorvane.decompress)(src, dest, "gz")
        except BaseException as e:
            print type(e).__name__, getattr(e, "errno", None), getattr(e, "filename", None)
print sorted(os.listdir("."))
"""
        big = self.write("big", os.urandom(1 << 20) * 3)
        packed = self.path("big.gz")
        dorvane.compress(big, packed, "gz")
        broken = self.write("broken.gz", open(packed, "rb").read()[:-1000])
        out_dir = self.path("out")
        os.mkdir(out_dir)
        self.write(os.path.join("out", "existing"), "old")
        status, out, err = run_python(code, [big, "plain", packed, "gz", broken, "gz"], cwd=out_dir)
        self.assertEqual(status, 0, err)
        self.assertEqual(out.splitlines(), ["IOError 27 existing", "IOError 27 new"] * 2 +
                         ["StreamError 5 None"] * 2 + ["['existing']"])
        self.assertEqual(open(os.path.join(out_dir, "existing")).read(), "old")

    def test_devices_and_fifos_get_all_of_the_output_or_none(self):
        packed, broken = self.packed_and_broken("lzop")
        with self.assertRaises(IOError) as caught:
            dorvane.decompress(packed, "/dev/full", "lzop")
        self.assertEqual(caught.exception.errno, errno.ENOSPC)
        self.assertRaises(StreamError, dorvane.decompress, broken, "/dev/full", "lzop")
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for source, expected in ((broken, ""), (packed, self.DATA)):
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

    def test_memory_does_not_grow_with_the_file(self):
        src = self.write("big", os.urandom(1 << 20) * 96)
        code = """
import dorvane, sys
def peak():
    return int([l for l in open("/proc/self/status") if l.startswith("VmHWM")][0].split()[1])
src, name = sys.argv[1], sys.argv[2]
start = peak()
dorvane.compress(src, src + "." + name, name)
dorvane.decompress(src + "." + name, src + ".back", name)
print (peak() - start) // 1024
"""
        for name in ("gzip", "lzop"):
            status, out, err = run_python(code, [src, name])
            self.assertEqual(status, 0, err)
            self.assertLess(int(out), 48, "%s grew by %s MiB for 96 MiB" % (name, out.strip()))
            self.assertEqual(os.path.getsize(src + ".back"), 96 << 20)


if __name__ == "__main__":
    unittest.main()

"""Eight threads at once through compress, decompress, magic, cat and the
path functions, each checking its own results. THREAD_SECONDS sets how
long they run (3 in the suite, 60 for `make thread-test`)."""
import binascii
import os
import random
import threading
import time
import unittest

import dorvane
import ondrel
from support import TempDirTest

SECONDS = float(os.environ.get("THREAD_SECONDS", "3"))
FILTERS = ["gzip", "bzip2", "lzop", "xz", "lzma"]
THREADS = 8


class Concurrent(TempDirTest):

    def worker(self, index, deadline, counts, errors):
        rng = random.Random(index)
        own = self.path("t%d" % index)
        os.mkdir(own)
        # Over 3 MiB, so that every filter cuts it into several units and
        # their workers run alongside these threads.
        unit = binascii.unhexlify("%0262144x" % rng.getrandbits(8 * 131072))
        unit += "".join("line %d of thread %d\n" % (i, index) for i in range(8000))
        data = unit * (3 * (1 << 20) // len(unit) + 1)
        source = os.path.join(own, "src")
        with open(source, "wb") as f:
            f.write(data)
        done = 0
        try:
            while time.time() < deadline:
                kind = FILTERS[done % len(FILTERS)]
                packed, back = source + "." + kind, source + ".back"
                dorvane.compress(source, packed, kind)
                dorvane.decompress(packed, back, kind)
                assert dorvane.cat(back) == data, "round trip through %s" % kind
                assert dorvane.cat(packed, kind) == data
                if done % 7 == 0:
                    assert (dorvane.magic(packed), dorvane.magic(packed, zlib=True)) == \
                        self.expected[kind], "magic of %s" % kind
                assert dorvane.getsize(back) == len(data)
                assert dorvane.basename(back) == u"src.back"
                assert dorvane.dirname(back) == own
                assert dorvane.join(own, [u"x", "y"]) == own + u"/x/y"
                assert dorvane.splitext(packed)[1] == u"." + kind
                assert dorvane.normpath(own + "/../t%d/./src" % index) == source
                assert dorvane.relpath(source, self.dir) == u"t%d/src" % index
                assert sorted(dorvane.listdir(own))[0] == u"src"
                assert dorvane.isfile(packed) and dorvane.exists(back) and not dorvane.isdir(back)
                try:
                    dorvane.decompress(source, back, kind)  # not compressed: must fail cleanly
                    raise AssertionError("decompressing plain data through %s succeeded" % kind)
                except ondrel.StreamError:
                    pass
                done += 1
        except Exception as e:
            errors.append("thread %d: %s: %s" % (index, type(e).__name__, e))
        counts[index] = done

    def test_eight_threads(self):
        # What `file` says, asked one at a time, is what every thread must see.
        sample = self.path("sample")
        with open(sample, "wb") as f:
            f.write("\xff\x00" * 500 + "line\n" * 3000)
        self.expected = {}
        for kind in FILTERS:
            dorvane.compress(sample, sample + kind, kind)
            self.expected[kind] = (dorvane.magic(sample + kind), dorvane.magic(sample + kind, zlib=True))
        deadline = time.time() + SECONDS
        counts, errors = [0] * THREADS, []
        threads = [threading.Thread(target=self.worker, args=(i, deadline, counts, errors))
                   for i in range(THREADS)]
        for t in threads:
            t.daemon = True  # a deadlock fails the test instead of hanging the run
            t.start()
        for t in threads:
            t.join(SECONDS + 120)
        self.assertFalse([t for t in threads if t.is_alive()], "deadlocked")
        self.assertEqual(errors, [])
        self.assertTrue(all(counts), counts)
        if os.environ.get("THREAD_SECONDS"):
            print("\n%d threads, %.0f s: %d iterations %r" % (THREADS, SECONDS, sum(counts), counts))


if __name__ == "__main__":
    unittest.main()

"""Eight threads at once through compress, decompress, cat and magic, each
checking its own results, for THREAD_SECONDS (3; 60 in `make thread-test`)."""
import os
import threading
import time
import unittest

import dorvane
import ondrel
from support import FILTERS, TempDirTest

SECONDS = float(os.environ.get("THREAD_SECONDS", "3"))
THREADS = 8


class Concurrent(TempDirTest):
    def worker(self, index, deadline, counts, errors):
        own = self.path("t%d" % index)
        os.mkdir(own)
        # Over 3 MiB, so that every filter cuts it into several units and
        # their workers run alongside these threads.
        unit = os.urandom(1 << 17) + "".join("line %d of %d\n" % (i, index) for i in range(8000))
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
                assert dorvane.cat(back) == data and dorvane.cat(packed, kind) == data, kind
                if done % 7 == 0:
                    assert dorvane.magic(packed) == self.expected[kind], kind
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
        sample = self.write("sample", "line\n" * 3000)
        self.expected = {}
        for kind in FILTERS:
            dorvane.compress(sample, sample + kind, kind)
            self.expected[kind] = dorvane.magic(sample + kind)
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


if __name__ == "__main__":
    unittest.main()

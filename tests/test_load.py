"""Load: every function's success and failure paths, called many times (times REFLEAK_SCALE),
leave gc objects and resident memory flat; eight threads check their own results for THREAD_SECONDS;
arguments of every wrong type leave the interpreter alive."""
import gc
import os
import resource
import shutil
import sys
import tempfile
import threading
import time
import unittest

import dorvane
import ondrel
from support import FILTERS, PY3, TempDirTest, write_file

if PY3:
    import pathlib

SCALE = float(os.environ.get("REFLEAK_SCALE", "1"))
SECONDS = float(os.environ.get("THREAD_SECONDS", "3"))
THREADS = 8
# REFLEAK_RSS=0 under ASan, whose quarantine keeps freed memory resident.
# 3.x counts every block its allocator hands out (live_objects), and its heap
# goes on settling for longer than a round lasts, several hundred KiB at a
# time with no block kept: there RSS is watched only on request
# (REFLEAK_RSS=1); the C++ heap's own leaks are memcheck's (make valgrind-test).
WATCH_RSS = os.environ.get("REFLEAK_RSS", "0" if hasattr(sys, "getallocatedblocks") else "1") != "0"
CHEAP, IO, PROCESS = 10000, 1000, 60
ROOT = os.geteuid() == 0


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def live_objects():
    """3.x counts every block its allocator has handed out, so a leaked str or float shows too;
    2.7 can only count the objects the collector tracks."""
    blocks = getattr(sys, "getallocatedblocks", None)
    return blocks() if blocks else len(gc.get_objects())


def call_failing(f, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except (TypeError, EnvironmentError, ondrel.StreamError):
        return
    raise AssertionError("%s%r did not fail" % (f.__name__, args))


def then_remove(name):
    return lambda: (os.rmdir if os.path.isdir(name) and not os.path.islink(name) else os.remove)(name)


def tmpfstream_round():
    name, stream = D.tmpfstream(filter="gz")
    with stream:
        stream.write(b"abc")
    os.remove(name)


# name -> (iterations, arguments that succeed, arguments that fail[, a step
# after each success]); a success may be a whole call instead. Paths are
# relative to a scratch directory holding a file "f", its gzip form "f.gz"
# and a directory "d".
D = dorvane
ARGS = dict((name, (CHEAP, ("f",), ("missing",)))
            for name in ["abspath", "basename", "dirname", "getatime", "getctime", "getmtime",
                         "getsize", "isabs", "isfile", "islink", "realpath", "relpath"])
ARGS.update({
    "chdir": (CHEAP, (".",), ("missing",)), "appdir": (CHEAP, (), (1,)),
    "getcwd": (CHEAP, (), (1,)), "tmpname": (CHEAP, (), (None,)),
    "exists": (CHEAP, ("f",), (1,)), "lexists": (CHEAP, ("f",), (1.5,)),
    "isdir": (CHEAP, ("d",), ("missing",)), "ismount": (CHEAP, ("d",), ("missing",)),
    "listdir": (CHEAP, ("d",), ("missing",)), "join": (CHEAP, ("a", ["b", u"c"]), ("a", None)),
    "normcase": (CHEAP, ("A/b",), (None,)), "normpath": (CHEAP, ("a/../b//c",), ({},)),
    "split": (CHEAP, ("d/f",), (1,)), "splitdrive": (CHEAP, ("d/f",), (1,)),
    "splitext": (CHEAP, ("f.gz",), (1,)), "screen": (CHEAP, ("it's",), (None,)),
    "chmod": (CHEAP, ("f", 0o644), ("missing", 0o644)),
    "chown": (CHEAP, ("f", os.getuid(), os.getgid()), ("missing", 0, 0)),
    # Only root may chroot, and "/" keeps the root where it is.
    "chroot": (CHEAP, lambda: D.chroot("/") if ROOT else call_failing(D.chroot, "d"), ("missing",)),
    "cat": (IO, ("f.gz", "gzip"), ("f", "gzip")), "copy": (IO, ("f", "out"), ("missing", "out")),
    "compress": (IO, ("f", "out", "lzop"), ("f", "/dev/full", "xz")),
    "decompress": (IO, ("f.gz", "out", "gzip"), ("f", "out", "gzip")),
    "link": (IO, ("f", "hard"), ("missing", "hard"), then_remove("hard")),
    "symlink": (IO, ("f", "sym"), ("f", "d"), then_remove("sym")),
    "mkdir": (IO, ("m",), ("missing/m",), then_remove("m")),
    "move": (IO, lambda: (D.move("f", "g"), D.move("g", "f")), ("missing", "g")),
    "remove": (IO, lambda: (open("r", "w").close(), D.remove("r")), ("missing",)),
    "unlink": (IO, lambda: (open("u", "w").close(), D.unlink("u")), ("missing",)),
    "rmdir": (IO, lambda: (os.mkdir("r"), D.rmdir("r")), ("missing",)),
    "tmpdir": (IO, lambda: os.rmdir(D.tmpdir()), (None,)),
    "tmpfstream": (IO, tmpfstream_round, ()),
    "magic": (PROCESS, ("f.gz", True), ("missing",)),
})


def calls(name):
    count, good, bad = ARGS[name][:3]
    after = ARGS[name][3] if len(ARGS[name]) > 3 else lambda: None
    f = getattr(D, name)
    kwargs = {"filter": "zip"} if name == "tmpfstream" else {}
    ok = good if callable(good) else lambda: (f(*good), after())
    return count, ok, lambda: call_failing(f, *bad, **kwargs)


class Flat(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.cwd = os.getcwd()
        cls.dir = tempfile.mkdtemp(prefix="dorvane-refleak-")
        cls.saved_tempdir, tempfile.tempdir = tempfile.tempdir, cls.dir
        os.chdir(cls.dir)
        write_file("f", b"some text\n" * 500)
        D.compress("f", "f.gz", "gzip")
        os.mkdir("d")

    @classmethod
    def tearDownClass(cls):
        os.chdir(cls.cwd)
        tempfile.tempdir = cls.saved_tempdir
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_all_45_functions_are_covered(self):
        names = [n for n in dir(D) if type(getattr(D, n)).__name__ == "builtin_function_or_method"]
        self.assertEqual(sorted(ARGS), sorted(names))

    def test_success_and_failure_paths_stay_flat(self):
        leaks = []
        for name in sorted(ARGS):
            count, good, bad = calls(name)
            count = max(10, int(count * SCALE))
            for path, call in (("ok", good), ("error", bad)):
                # Caches, interned names and allocator arenas first reach a
                # plateau; a leak keeps growing in each of two equal rounds.
                for _ in range(count // 4):
                    call()
                grown = []
                for _ in range(2):
                    gc.collect()
                    objects, memory = live_objects(), rss()
                    for _ in range(count // 2):
                        call()
                    gc.collect()
                    grown.append((live_objects() - objects, rss() - memory))
                # One leaked small object per call is count/2 objects (a
                # few dozen blocks come and go with caches) or at
                # least 16 bytes per call in each round; noise is far below.
                # A leak grows alike in both rounds, where the allocator's
                # settling (RSS a malloc arena took, 3.x's larger heap)
                # falls off after the first.
                objects_grew = min(g[0] for g in grown) > max(10, count // 4)
                memory = [g[1] for g in grown]
                memory_grew = min(memory) > max(64 * 1024, 8 * count) and 2 * min(memory) >= max(memory)
                if objects_grew or (WATCH_RSS and memory_grew):
                    leaks.append("%s/%s 2 x %d calls: %s" % (name, path, count // 2, "; ".join(
                        "%+d objects, %+d KiB" % (o, m // 1024) for o, m in grown)))
        self.assertEqual(leaks, [])
        self.assertEqual(sorted(os.listdir(self.dir)), ["d", "f", "f.gz", "out"])


class Concurrent(TempDirTest):
    def worker(self, index, deadline, counts, errors):
        own = self.path("t%d" % index)
        os.mkdir(own)
        # Over 3 MiB, so that every filter cuts it into several units and
        # their workers run alongside these threads.
        unit = os.urandom(1 << 17) + "".join("line %d of %d\n" % (i, index) for i in range(8000)).encode()
        data = unit * (3 * (1 << 20) // len(unit) + 1)
        source = self.write(os.path.join("t%d" % index, "src"), data)
        # 3.x takes a path as text, bytes or a path object alike.
        forms = (str, pathlib.Path, os.fsencode) if PY3 else (str,)
        done = 0
        try:
            while time.time() < deadline:
                kind, form = FILTERS[done % len(FILTERS)], forms[done % len(forms)]
                packed, back = source + "." + kind, source + ".back"
                dorvane.compress(form(source), form(packed), kind)
                dorvane.decompress(packed, back, kind)
                assert dorvane.cat(back) == data and dorvane.cat(packed, kind) == data, kind
                if done % 7 == 0:
                    assert dorvane.magic(packed) == self.expected[kind], kind
                for _ in range(20):  # the path queries check their names again after other threads ran
                    assert dorvane.getsize(form(packed)) == os.path.getsize(packed)
                    assert sorted(dorvane.listdir(form(own))) == sorted(os.listdir(own))
                    assert dorvane.isfile(form(packed)) and not dorvane.exists(form(packed + ".no"))
                    assert dorvane.relpath(form(packed), self.dir) == "t%d/src.%s" % (index, kind)
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
        sample = self.write("sample", b"line\n" * 3000)
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


# Valid arguments for each required position of each function: the load
# suite's successful calls (the rest have defaults); a whole-call success
# there takes one path here.
FILL = dict((name, list(args[1])) for name, args in ARGS.items() if type(args[1]) is tuple)
FILL["move"] = ["g", "f"]  # from nowhere: "f" must stay
# Wrong in type or content for a path, a mode, a filter or a flag; none
# names anything that exists.
BAD = ["None", "12", "1.5", "object()", "{}", "(1,)", "bytearray(b'x')", "'a\\0b'", "u'a\\0b'",
       "[1, 2]", "['\\xff']", "u'\\udcff' * 3", "2 ** 70"]


class WrongTypes(TempDirTest):
    """One child interpreter runs every bad call: it must survive them all, and
    each call must either answer or raise an ordinary exception."""

    def test_every_function(self):
        lines = self.child("""
            import os, dorvane, ondrel
            with open("f", "w") as f:
                f.write("v")
            fills, bad = %r, %r
            seen = 0
            for name in %r:
                f = getattr(dorvane, name)
                fill = fills.get(name, ["f"])
                n = len(fill)
                for text in bad:
                    value = eval(text)
                    calls = [[value] * max(n, 1)] + [fill[:i] + [value] + fill[i + 1:] for i in range(n)]
                    for args in calls:
                        try:
                            f(*args)
                        except (TypeError, ValueError, EnvironmentError, UnicodeError, OverflowError,
                                ondrel.StreamError):
                            pass
                        seen += 1
            print("alive %%d %%s %%s" %% (seen, open("f").read(), sorted(os.listdir("."))))
            """ % (FILL, BAD, sorted(ARGS)), cwd=self.dir, TMPDIR=self.dir)  # tmpdir & co. make theirs here
        alive, seen, content = lines[0].split(None, 3)[:3]
        self.assertEqual((alive, content), ("alive", "v"))
        self.assertGreater(int(seen), 45 * len(BAD))


if __name__ == "__main__":
    unittest.main()

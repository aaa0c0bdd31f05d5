"""Reference and memory leaks: every function, on its success and its failure
path, many times over; gc-tracked objects and resident memory must stay flat.
REFLEAK_RSS=0 leaves out the memory check (for sanitizer builds); REFLEAK_SCALE
multiplies the call counts (10 for `make refleak-test`)."""
import gc
import os
import resource
import shutil
import tempfile
import unittest

import dorvane
import ondrel

SCALE = float(os.environ.get("REFLEAK_SCALE", "1"))
# Off under ASan, whose quarantine keeps freed memory resident.
WATCH_RSS = os.environ.get("REFLEAK_RSS", "1") != "0"
CHEAP, IO, PROCESS = 10000, 1000, 60
ROOT = os.geteuid() == 0


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


def remove_all(*names):
    for name in names:
        (os.rmdir if os.path.isdir(name) and not os.path.islink(name) else os.remove)(name)


def call_failing(f, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except (TypeError, EnvironmentError, ondrel.StreamError):
        return
    raise AssertionError("%s%r did not fail" % (f.__name__, args))


def made_then_removed(make, *names):
    def run():
        make()
        remove_all(*names)
    return run


# name -> (iterations, success call, failure call); paths are relative to a
# scratch directory holding a file "f", its gzip form "f.gz" and a directory "d".
D = dorvane
# The guarded queries share one shape: a file answers, a missing path fails.
CASES = dict((name, (CHEAP, lambda f=getattr(D, name): f("f"),
                     lambda f=getattr(D, name): call_failing(f, "missing")))
             for name in ["abspath", "basename", "dirname", "getatime", "getctime", "getmtime",
                          "getsize", "isabs", "isfile", "islink", "realpath"])
CASES.update({
    "appdir": (CHEAP, D.appdir, lambda: call_failing(D.appdir, 1)),
    "cat": (IO, lambda: D.cat("f.gz", "gzip"), lambda: call_failing(D.cat, "f", "gzip")),
    "chdir": (CHEAP, lambda: D.chdir("."), lambda: call_failing(D.chdir, "missing")),
    "chmod": (CHEAP, lambda: D.chmod("f", 0o644), lambda: call_failing(D.chmod, "missing", 0o644)),
    "chown": (CHEAP, lambda: D.chown("f", os.getuid(), os.getgid()),
              lambda: call_failing(D.chown, "missing", 0, 0)),
    # Only root may chroot, and "/" keeps the root where it is.
    "chroot": (CHEAP, (lambda: D.chroot("/")) if ROOT else (lambda: call_failing(D.chroot, "d")),
               lambda: call_failing(D.chroot, "missing")),
    "compress": (IO, lambda: D.compress("f", "out", "lzop"), lambda: call_failing(D.compress, "f", "/dev/full", "xz")),
    "copy": (IO, lambda: D.copy("f", "out"), lambda: call_failing(D.copy, "missing", "out")),
    "decompress": (IO, lambda: D.decompress("f.gz", "out", "gzip"),
                   lambda: call_failing(D.decompress, "f", "out", "gzip")),
    "exists": (CHEAP, lambda: D.exists("f"), lambda: call_failing(D.exists, 1)),
    "getcwd": (CHEAP, D.getcwd, lambda: call_failing(D.getcwd, 1)),
    "isdir": (CHEAP, lambda: D.isdir("d"), lambda: call_failing(D.isdir, "missing")),
    "ismount": (CHEAP, lambda: D.ismount("d"), lambda: call_failing(D.ismount, "missing")),
    "join": (CHEAP, lambda: D.join("a", ["b", u"c"]), lambda: call_failing(D.join, "a", None)),
    "lexists": (CHEAP, lambda: D.lexists("f"), lambda: call_failing(D.lexists, 1.5)),
    "link": (IO, made_then_removed(lambda: D.link("f", "hard"), "hard"),
             lambda: call_failing(D.link, "missing", "hard")),
    "listdir": (CHEAP, lambda: D.listdir("d"), lambda: call_failing(D.listdir, "missing")),
    "magic": (PROCESS, lambda: D.magic("f.gz", zlib=True), lambda: call_failing(D.magic, "missing")),
    "mkdir": (IO, made_then_removed(lambda: D.mkdir("m"), "m"), lambda: call_failing(D.mkdir, "missing/m")),
    "move": (IO, lambda: (D.move("f", "g"), D.move("g", "f")), lambda: call_failing(D.move, "missing", "g")),
    "normcase": (CHEAP, lambda: D.normcase("A/b"), lambda: call_failing(D.normcase, None)),
    "normpath": (CHEAP, lambda: D.normpath("a/../b//c"), lambda: call_failing(D.normpath, {})),
    "relpath": (CHEAP, lambda: D.relpath("f", "d"), lambda: call_failing(D.relpath, "missing")),
    "remove": (IO, made_then_removed(lambda: (open("r", "w").close(), D.remove("r"))),
               lambda: call_failing(D.remove, "missing")),
    "rmdir": (IO, made_then_removed(lambda: (os.mkdir("r"), D.rmdir("r"))), lambda: call_failing(D.rmdir, "missing")),
    "screen": (CHEAP, lambda: D.screen("it's"), lambda: call_failing(D.screen, None)),
    "split": (CHEAP, lambda: D.split("d/f"), lambda: call_failing(D.split, 1)),
    "splitdrive": (CHEAP, lambda: D.splitdrive("d/f"), lambda: call_failing(D.splitdrive, 1)),
    "splitext": (CHEAP, lambda: D.splitext("f.gz"), lambda: call_failing(D.splitext, 1)),
    "symlink": (IO, made_then_removed(lambda: D.symlink("f", "sym"), "sym"), lambda: call_failing(D.symlink, "f", "d")),
    "tmpdir": (IO, lambda: os.rmdir(D.tmpdir()), lambda: call_failing(D.tmpdir, None)),
    "tmpfstream": (IO, lambda: tmpfstream_round(), lambda: call_failing(D.tmpfstream, filter="zip")),
    "tmpname": (CHEAP, D.tmpname, lambda: call_failing(D.tmpname, None)),
    "unlink": (IO, made_then_removed(lambda: (open("u", "w").close(), D.unlink("u"))),
               lambda: call_failing(D.unlink, "missing")),
})


def tmpfstream_round():
    name, stream = D.tmpfstream(filter="gz")
    with stream:
        stream.write("abc")
    os.remove(name)


class Flat(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.cwd = os.getcwd()
        cls.dir = tempfile.mkdtemp(prefix="dorvane-refleak-")
        cls.saved_tempdir, tempfile.tempdir = tempfile.tempdir, cls.dir
        os.chdir(cls.dir)
        with open("f", "wb") as f:
            f.write("some text\n" * 500)
        D.compress("f", "f.gz", "gzip")
        os.mkdir("d")

    @classmethod
    def tearDownClass(cls):
        os.chdir(cls.cwd)
        tempfile.tempdir = cls.saved_tempdir
        shutil.rmtree(cls.dir, ignore_errors=True)

    def test_all_45_functions_are_covered(self):
        names = [n for n in dir(D) if type(getattr(D, n)).__name__ == "builtin_function_or_method"]
        self.assertEqual(sorted(CASES), sorted(names))

    def test_success_and_failure_paths_stay_flat(self):
        leaks = []
        for name in sorted(CASES):
            count, good, bad = CASES[name]
            count = max(10, int(count * SCALE))
            for path, call in (("ok", good), ("error", bad)):
                # Caches, interned names and allocator arenas first reach a
                # plateau; a leak keeps growing in each of two equal rounds.
                for _ in range(count // 4):
                    call()
                grown = []
                for _ in range(2):
                    gc.collect()
                    objects, memory = len(gc.get_objects()), rss()
                    for _ in range(count // 2):
                        call()
                    gc.collect()
                    grown.append((len(gc.get_objects()) - objects, rss() - memory))
                # One leaked small object per call is count/2 objects or at
                # least 16 bytes per call in each round; noise is far below.
                objects_grew = min(g[0] for g in grown) > 10
                memory_grew = min(g[1] for g in grown) > max(64 * 1024, 8 * count)
                if objects_grew or (WATCH_RSS and memory_grew):
                    leaks.append("%s/%s 2 x %d calls: %s" % (name, path, count // 2, "; ".join(
                        "%+d objects, %+d KiB" % (o, m // 1024) for o, m in grown)))
        self.assertEqual(leaks, [])
        self.assertEqual(sorted(os.listdir(self.dir)), ["d", "f", "f.gz", "out"])


if __name__ == "__main__":
    unittest.main()

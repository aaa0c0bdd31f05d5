# -*- coding: utf-8 -*-
"""Ctrl-C reaches long copies and commands that run without the interpreter lock."""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import dorvane
import ondrel
from support import BUILD, FILTERS, MIB, TempDirTest, native, write_file
# lzop copies 256 MiB in about the time the test waits before signalling.
SLOW_FILTERS = [name for name in FILTERS if name != "lzop"]
CONCATENATING = ("gzip", "bzip2", "xz")

# Reports "ready" just before the call, then how the call ended.
CHILD = r"""
import sys, dorvane, ondrel
what, a, b = sys.argv[1:4]
what, flt = (what.split(":") + [""])[:2]
sys.stdout.write("ready\n")
sys.stdout.flush()
try:
    if what == "pstream":
        ondrel.pstream("sleep 10 & echo $! > %s; wait" % a).execute()
    else:
        getattr(dorvane, what)(a, b, flt)
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
"""


def process_gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] in "ZX"
    except IOError:
        return True


class CtrlC(TempDirTest):
    @classmethod
    def setUpClass(cls):
        cls.shared = tempfile.mkdtemp(prefix="dorvane-test-")
        # Repeated incompressible megabytes keep bzip2 busy for seconds either
        # way. The concatenating formats read 256 copies of one packed
        # megabyte as one stream, which spares the set-up a long compression.
        chunk = os.urandom(MIB)
        cls.source = write_file(os.path.join(cls.shared, "source"), chunk * 256)
        one = write_file(os.path.join(cls.shared, "one"), chunk)
        cls.packed = {}
        for name in CONCATENATING:
            dorvane.compress(one, one + "." + name, name)
            cls.packed[name] = write_file(one + ".256." + name, open(one + "." + name, "rb").read() * 256)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, ignore_errors=True)

    def interrupt(self, what, a, b=""):
        child = subprocess.Popen([sys.executable, "-c", CHILD, what, a, b],
                                 env=dict(os.environ, PYTHONPATH=BUILD),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(native(child.stdout.readline()), "ready\n")
        # Early: gzip now reads the 256 MiB in about a third of a second.
        time.sleep(0.1)
        os.kill(child.pid, signal.SIGINT)
        sent = time.time()
        out, err = child.communicate()
        took = time.time() - sent
        self.assertEqual(native(out), "interrupted\n", native(err))
        self.assertLess(took, 1.0, "%s took %.2f s after SIGINT" % (what, took))

    def test_compress_and_decompress_stop_and_leave_the_destination(self):
        # Each codec waits on its own kind of workers: every one must give way.
        calls = [("compress:" + name, self.source) for name in SLOW_FILTERS]
        calls += [("decompress:" + name, self.packed[name]) for name in CONCATENATING]
        for what, source in calls:
            destination = self.write("destination", b"untouched")
            self.interrupt(what, source, destination)
            self.assertEqual(open(destination).read(), "untouched",
                             "%s: %d bytes" % (what, os.path.getsize(destination)))
            self.assertEqual(os.listdir(self.dir), ["destination"], what)

    def test_command_and_everything_it_started_are_killed(self):
        pid_file = self.path("pid")
        self.interrupt("pstream", pid_file)
        sleeper = int(open(pid_file).read())
        deadline = time.time() + 1
        while not process_gone(sleeper) and time.time() < deadline:
            time.sleep(0.02)
        self.assertTrue(process_gone(sleeper), "sleep %d outlived the interrupt" % sleeper)


class OtherThreads(TempDirTest):
    def test_work_in_another_thread_goes_on_while_the_main_thread_keeps_the_lock(self):
        # Only the main thread runs signal handlers: no other thread stops to
        # take the lock back for them.
        ondrel.fstream(self.path("warm-up"), "w").close()
        data = os.urandom(MIB) * 24
        started = threading.Event()

        def write():
            with ondrel.fstream(self.path("out"), "wb", "gzip") as f:
                started.set()
                f.write(data)
        thread = threading.Thread(target=write)
        thread.start()
        started.wait()
        ctypes.PyDLL(None).usleep(2000000)  # two seconds in C, lock held
        written = os.path.getsize(self.path("out"))
        thread.join()
        self.assertGreater(written, len(data) * 3 // 4)


if __name__ == "__main__":
    unittest.main()

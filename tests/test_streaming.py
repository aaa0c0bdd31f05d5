# -*- coding: utf-8 -*-
"""The streaming copy behind compress and decompress under concurrent use, named
pipes, signals, bad names and scarce descriptors: it must give what reading the
source whole and then writing the destination whole gives, or step aside before
it has touched the source."""
import contextlib
import os
import signal
import threading
import time
import unittest

import dorvane
import ondrel
from support import MIB, WITH_TESTS, Rebinding, TempDirTest, outcome, root_only, run_python


def literal_steps():
    """Rebinds cat, which makes compress and decompress take the whole-file steps."""
    cat = dorvane.cat
    return Rebinding(dorvane, cat=lambda *a, **k: cat(*a, **k))


class PipeWriter(threading.Thread):
    """Opens `fifo` for writing (which waits for a reader), waits for `go` (at most
    `patience` seconds), then writes `data` and closes."""

    def __init__(self, fifo, data, patience=10):
        threading.Thread.__init__(self)
        self.daemon = True
        self.fifo, self.data, self.patience = fifo, data, patience
        self.go = threading.Event()
        self.start()

    def run(self):
        with open(self.fifo, "wb") as out:
            self.go.wait(self.patience)
            out.write(self.data)


@contextlib.contextmanager
def deadline(seconds):
    """Turns a call that blocks for good into a failure instead of a hung suite."""
    def expired(*_):
        raise AssertionError("still blocked after %d s" % seconds)
    previous = signal.signal(signal.SIGALRM, expired)
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


class CopyObject(TempDirTest):
    """A copy whose run() is blocked on a pipe is refused a second use, and then finishes."""

    def attempts(self):
        """(copy, pipe writer, destination, data), twenty times over."""
        for attempt in range(20):
            data = os.urandom(256 << 10)
            fifo = self.path("fifo%d" % attempt)
            os.mkfifo(fifo)
            writer = PipeWriter(fifo, data)
            dest = self.write("dest%d" % attempt, b"original")
            copy = ondrel.fstream.copyfile(fifo, dest, None, "xz")
            self.assertIsNotNone(copy)
            yield copy, writer, dest, data
            self.assertEqual(open(dest, "rb").read(), b"original")
            copy.commit()
            self.assertEqual(dorvane.cat(dest, "xz"), data)

    def test_commit_from_another_thread_while_run_is_under_way(self):
        for copy, writer, dest, data in self.attempts():
            self.assertRaises(ValueError, copy.commit)  # not run yet: refused, the copy kept
            runner = threading.Thread(target=copy.run)
            runner.start()
            time.sleep(0.2)
            self.assertTrue(runner.is_alive())
            for second_use in (copy.commit, copy.run):
                self.assertIn("in use", str(self.raised(IOError, second_use)))
            writer.go.set()
            runner.join()

    def test_commit_from_a_signal_handler_during_run(self):
        for copy, writer, dest, data in self.attempts():
            refused = []

            def handler(*_):
                refused.append(self.raised(IOError, copy.commit))
                writer.go.set()

            previous = signal.signal(signal.SIGALRM, handler)
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.05)
                copy.run()
            finally:
                signal.signal(signal.SIGALRM, previous)
            self.assertEqual(len(refused), 1)


class NamedPipeSource(TempDirTest):
    def test_declined_destination_never_costs_the_pipe_its_data(self):
        data = os.urandom(1000000)
        fifo, target = self.path("fifo"), self.path("target")
        os.mkfifo(fifo)
        os.symlink(target, self.path("dangling"))
        for attempt in range(20):
            writer = PipeWriter(fifo, data, patience=0)
            with deadline(20):
                dorvane.compress(fifo, self.path("dangling"), "gz")
            writer.join()
            self.assertEqual(dorvane.cat(target, "gz"), data, "attempt %d" % attempt)
            os.remove(target)


# Each case blocks on a pipe nobody writes to (or that stays silent) twenty times,
# each time stopped by SIGINT sent from a thread; prints how many raised KeyboardInterrupt.
BLOCKED = r"""
import os, signal, sys, threading, dorvane
case, fifo, out = sys.argv[1:4]
interrupted = 0
for attempt in range(20):
    if case == "silent writer":
        writer = threading.Thread(target=lambda: (open(fifo, "wb"), threading.Event().wait(1)))
        writer.daemon = True
        writer.start()
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        if case == "compress":
            dorvane.compress(fifo, out, "gz")
        else:
            dorvane.cat(fifo)
    except KeyboardInterrupt:
        interrupted += 1
print(interrupted)
"""


class CtrlCOnBlockedPipe(TempDirTest):
    def test_open_and_read_that_block_are_interrupted(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for case in ("no writer", "silent writer", "compress"):
            status, out, err = run_python(BLOCKED, [case, fifo, self.path("out")], timeout=60)
            self.assertEqual((status, out.strip()), (0, "20"), (case, err))


class SameOutcomeAsTheWholeFileSteps(TempDirTest):
    def test_destination_names_the_system_cannot_take(self):
        good = self.write("good", b"data" * 1000)
        dorvane.compress(good, self.path("good.gz"), "gz")
        truncated = self.write("cut.gz", open(self.path("good.gz"), "rb").read()[:-20])
        bad = self.path(u"out\x00x")
        for call in ((dorvane.compress, good, bad, "gz"), (dorvane.decompress, truncated, bad, "gz"),
                     (dorvane.decompress, self.path("good.gz"), bad, "gz")):
            fast = outcome(*call)
            with literal_steps():
                self.assertEqual(fast, outcome(*call))
            self.assertIsNotNone(fast)
        # A character the C locale's encoding lacks, in a child that runs under it (which 3.x
        # would otherwise take for UTF-8); the code itself stays ASCII.
        lines = self.child("""
            import sys, dorvane
            from test_streaming import outcome, literal_steps
            for src in sys.argv[1:]:
                fast = outcome(dorvane.decompress, src, u"out\\u00e9", "gz")
                with literal_steps():
                    print("%s %s" % (fast == outcome(dorvane.decompress, src, u"out\\u00e9", "gz"), fast[0]))
            """, [self.path("good.gz"), truncated], pythonpath=WITH_TESTS,
            cwd=self.dir, LANG="C", LC_ALL="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
        self.assertEqual(lines, ["True UnicodeEncodeError", "True StreamError"])

    @root_only
    def test_owner_and_size_limit_give_what_the_whole_file_steps_give(self):
        os.chmod(self.dir, 0o777)
        source = self.write("source", os.urandom(32 * MIB))
        target = self.write("target", b"original")
        os.chmod(target, 0o666)
        lines = self.child("""
            import os, resource, signal, sys, warnings
            import dorvane
            from test_streaming import outcome, literal_steps
            os.setgid(65534)
            os.setuid(65534)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (MIB, MIB))
            warnings.simplefilter("error")
            fast = outcome(dorvane.compress, sys.argv[1], sys.argv[2], "gz")
            with literal_steps():
                literal = outcome(dorvane.compress, sys.argv[1], sys.argv[2], "gz")
            print("%s %s %s" % (fast == literal, fast[:2] == literal[:2], fast[0]))
            print("%s %s" % (open(sys.argv[2]).read(), sorted(os.listdir(os.path.dirname(sys.argv[2])))))
            """.replace("MIB", str(MIB)), [source, target], pythonpath=WITH_TESTS)
        self.assertTrue(lines[0].startswith("True True"), lines)
        self.assertEqual(lines[1], "original ['source', 'target']")

    def test_one_free_descriptor(self):
        if "asan" in os.environ.get("LD_PRELOAD", ""):
            # Its checks of a vtable pointer open a pipe: with no descriptor left they report bad types.
            self.skipTest("the sanitizer runtime needs descriptors of its own")
        source = self.write("source", b"data" * 100000)
        lines = self.child("""
            import errno, os, resource, sys
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
            import dorvane
            from test_streaming import outcome, literal_steps
            def with_one_descriptor_free(f, *args):
                held = []
                try:
                    while True:
                        held.append(os.open(os.devnull, os.O_RDONLY))
                except OSError as e:
                    assert e.errno == errno.EMFILE
                os.close(held.pop())
                try:
                    return outcome(f, *args)
                finally:
                    for fd in held:
                        os.close(fd)
            src = sys.argv[1]
            print(with_one_descriptor_free(dorvane.compress, src, src + ".xz", "xz"))
            print(with_one_descriptor_free(dorvane.decompress, src + ".xz", src, "xz"))
            print(dorvane.cat(src) == b"data" * 100000)
            """, [source], pythonpath=WITH_TESTS)
        self.assertEqual(lines, ["None", "None", "True"])


class AbandonedWhileWriting(TempDirTest):
    def test_exception_exit_while_another_thread_writes(self):
        target = self.write("target", b"original")
        streams = [ondrel.fstream(target, "wb", "xz")]
        chunk, ended = os.urandom(4 * MIB), []

        def write():  # the encoder's queue fills, so most of the time is spent inside write()
            try:
                for _ in range(64):
                    streams[0].write(chunk)
            except Exception as e:
                ended.append(e)

        writer = threading.Thread(target=write)
        with self.assertRaises(KeyError):
            with streams[0]:
                writer.start()
                time.sleep(0.5)
                raise KeyError("body")
        writer.join()
        self.assertEqual(str(ended[0]), "I/O operation on closed file")
        del streams[:]  # a dropped stream commits unless it was abandoned
        self.assertEqual(open(target, "rb").read(), b"original")
        self.assertEqual(os.listdir(self.dir), ["target"])


# A SIGALRM handler, run from inside a long call, drops the last reference to a
# stream whose close takes a while; Ctrl-C arrives during that close.
DROPPED_IN_HANDLER = r"""
import os, signal, sys, threading, dorvane, ondrel
streams = [ondrel.fstream(sys.argv[1], "wb", "xz")]
streams[0].write(os.urandom(3 << 20))
def on_alarm(*_):
    threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
    del streams[:]
signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.1)
try:
    ondrel.pstream("sleep 20").execute()
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
"""


class SignalHandlerDropsAStream(TempDirTest):
    def test_ctrl_c_during_its_close_reaches_the_caller(self):
        target = self.path("dropped.xz")
        status, out, err = run_python(DROPPED_IN_HANDLER, [target])
        self.assertEqual((status, out.strip()), (0, "interrupted"), err)
        self.assertNotIn("close failed", err)
        self.assertEqual(len(dorvane.cat(target, "xz")), 3 << 20)


if __name__ == "__main__":
    unittest.main()

# -*- coding: utf-8 -*-
"""ondrel's file and process streams: fstream and pstream."""
import errno
import os
import signal
import subprocess
import threading
import unittest

from ondrel import StreamError, bstream, fstream, pstream, ustream

from support import FILTERS, TEXT, TempDirTest, run_python


class FstreamTest(TempDirTest):
    def test_write_read_append_and_attributes(self):
        p = self.path("f")
        f = fstream([self.dir, "f"], mode="w")
        self.assertIs(type(f.name), ustream)
        self.assertEqual((f.name, f.mode, f.filter, f.closed), (p, "w", None, False))
        # Sizes around the buffer's, so that some writes are buffered and some not.
        chunks = [b"one", bstream(b"two"), bytearray(b"3\x00"), u"caf\xe9"]
        chunks += [os.urandom(n) for n in (1, 65535, 65536, 65537, 300000)]
        for chunk in chunks:
            f.write(chunk)
        f.close()
        f.close()  # idempotent
        self.assertTrue(f.closed)
        with fstream(p, "a") as f:
            f.write(b"tail")
        data = fstream(p).read()
        self.assertIs(type(data), bstream)
        self.assertTrue(data == b"".join(bstream(c) for c in chunks) + b"tail")

    def test_refusals(self):
        p = self.touch("f")
        for mode in ("x+", "r+", "rw", "", "wt"):
            self.assertRaises(ValueError, fstream, p, mode)
        self.assertRaises(ValueError, fstream, p, "a", "gz")  # no appending to a filtered file
        self.assertRaises(IOError, fstream(p, "r").write, b"x")
        self.assertRaises(IOError, fstream(p, "w").read)
        f = fstream(p, "w")
        f.close()
        for call in (lambda: f.write(b"x"), f.read, f.__enter__):
            self.assertRaises(ValueError, call)
        caught = self.raised(IOError, lambda: fstream(self.path("missing")))
        self.assertEqual((caught.errno, caught.strerror, caught.filename),
                         (errno.ENOENT, os.strerror(errno.ENOENT), self.path("missing")))
        self.assertEqual(self.raised(IOError, lambda: fstream(self.dir)).errno, errno.EISDIR)

    def test_truncated_input_names_the_file(self):
        p = self.path("t.gz")
        with fstream(p, "w", "gzip") as f:
            f.write(os.urandom(5000))
        self.write("t.gz", open(p, "rb").read()[:-10])
        r = fstream(p, filter="gzip")
        caught = self.raised(StreamError, r.read)
        self.assertEqual(caught.errno, 5)
        self.assertTrue(caught.strerror.startswith(p + u": "), caught.strerror)
        # The input is consumed: reading again must not pass for an empty file.
        self.assertEqual(self.raised(StreamError, r.read).strerror, caught.strerror)

    def test_children_inherit_neither_our_files_nor_our_pipes(self):
        # Compared with what a child inherits anyway from whoever runs us.
        def inherited():
            return subprocess.check_output(["ls", "/proc/self/fd"], close_fds=False).split()
        before = inherited()
        with fstream(self.path("f"), "w"):
            self.assertEqual(inherited(), before)
            self.assertEqual(pstream("ls /proc/self/fd").execute().split(), before)

    def test_a_stream_left_open_across_fork_is_finished_by_the_child(self):
        # Written in pieces, so that compressed units are still with the
        # workers when the process forks; the child's with block then ends
        # the stream. Its output must be what the parent's would have been,
        # except for xz, whose library threads stay behind: refused at once.
        # The forking process leaves its own copy alone (its os._exit()),
        # and where the child's block ends by an exception, the parent then
        # finishes the stream as if there had been no child.
        data = os.urandom(1 << 20) + "".join(str(n) for n in range(500000))[:2 << 20].encode()
        self.write("data", data)
        for name, child in [(name, "close") for name in FILTERS] + [("gzip", "abandon"), ("xz", "abandon")]:
            status, out, err = run_python(FORKED_CLOSE, [self.path(n) for n in ("data", "out", "expected")] +
                                          [name, child])
            self.assertEqual(status, 0, err)
            if child == "close" and name == "xz":
                self.assertTrue(out.startswith("refused: ") and "fork()" in out, out + err)
                continue
            self.assertEqual(out, "abandoned\nparent closed\n" if child == "abandon" else "done\n", err)
            self.assertTrue(open(self.path("out"), "rb").read() == open(self.path("expected"), "rb").read(), name)


# Writes argv[1] through filter argv[4] to argv[3], then to argv[2] again
# up to the fork, after which the child ends the stream within a deadline;
# prints how the child ended.
FORKED_CLOSE = r"""
import os, signal, sys, ondrel
data = open(sys.argv[1], "rb").read()
def written(path):
    f = ondrel.fstream(path, "wb", sys.argv[4])
    for at in range(0, len(data), 65536):
        f.write(data[at:at + 65536])
    return f
written(sys.argv[3]).close()
f = written(sys.argv[2])
if os.fork() == 0:
    signal.alarm(20)  # a hang ends the child, not the test run
    try:
        with f:
            if sys.argv[5] == "abandon":
                raise KeyError("child")
        sys.stdout.write("done\n")
    except KeyError:
        sys.stdout.write("abandoned\n")
    except ondrel.StreamError as e:
        sys.stdout.write("refused: %s\n" % e)
    sys.stdout.flush()
    os._exit(0)
status = os.wait()[1]
if status:
    sys.stdout.write("status %d\n" % status)
if sys.argv[5] == "abandon":
    f.close()
    sys.stdout.write("parent closed\n")
sys.stdout.flush()
os._exit(0)
"""


class PstreamTest(TempDirTest):
    def test_output_command_forms_and_environment(self):
        p = pstream(["printf", u"'%s-%s'", ustream(u"a"), "b"])
        self.assertEqual((type(p.command), p.command), (ustream, u"printf '%s-%s' a b"))
        out = p.execute()
        self.assertEqual((type(out), out), (bstream, b"a-b"))
        self.assertEqual(p.execute(), b"a-b")  # may run again
        self.assertEqual(pstream(("true",)).execute(), b"")
        for bad in (5, ["echo", 5]):
            self.assertRaises(TypeError, pstream, bad)
        self.assertEqual(pstream("echo hello; cat").execute(), b"hello\n")  # stdin is /dev/null
        # Python ignores SIGPIPE; the child must not inherit that.
        status = pstream("grep SigIgn /proc/self/status").execute()
        self.assertFalse(int(status.split()[1], 16) & (1 << (signal.SIGPIPE - 1)), status)

    def test_failure_reports_status_and_stderr(self):
        for command, status, text in [
                ("echo out; echo 'bad thing' >&2; echo more >&2; exit 3", 3, u"bad thing\nmore"),
                ("printf 'x\\377y\\n' >&2; exit 1", 1, u"x\ufffdy"),
                ("kill -%d $$" % signal.SIGKILL, 128 + signal.SIGKILL, u"")]:
            caught = self.raised(StreamError, lambda: pstream(command).execute())
            self.assertEqual(caught.args, (status, text))
            self.assertIs(type(caught.strerror), TEXT)

    def test_megabytes_on_both_streams_do_not_deadlock(self):
        cmd = ("head -c 20000000 /dev/zero | tr '\\0' o & "
               "head -c 15000000 /dev/zero | tr '\\0' e >&2; wait")
        out = pstream(cmd).execute()
        self.assertTrue(out == b"o" * 20000000, len(out))
        caught = self.raised(StreamError, lambda: pstream(cmd + "; exit 4").execute())
        self.assertEqual(caught.errno, 4)
        self.assertEqual(len(caught.strerror), 15000000)

    def test_waits_without_the_interpreter_lock(self):
        # The command needs another Python thread to write the FIFO, which it can
        # only do while the call does not hold the lock; timeout turns a held lock
        # into a failure instead of a hang.
        fifo = self.path("fifo")
        os.mkfifo(fifo)

        def writer():
            with open(fifo, "wb") as f:
                f.write(b"through")

        thread = threading.Thread(target=writer)
        thread.daemon = True
        thread.start()
        self.assertEqual(pstream("timeout 20 cat '%s'" % fifo).execute(), b"through")
        thread.join()


if __name__ == "__main__":
    unittest.main()

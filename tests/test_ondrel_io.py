# -*- coding: utf-8 -*-
"""ondrel's file and process streams: fstream and pstream."""
import errno
import os
import signal
import subprocess
import threading
import unittest

from ondrel import StreamError, bstream, fstream, pstream, ustream

from support import TempDirTest

class FstreamPlainTest(TempDirTest):
    def test_write_read_append(self):
        p = self.path("f")
        f = fstream(p, "w")
        f.write("one\n")
        f.write(bstream("two\n"))
        f.write(bytearray("3\x00\n"))
        f.write(u"caf\xe9\n")
        f.close()
        self.assertEqual(open(p, "rb").read(), "one\ntwo\n3\x00\ncaf\xc3\xa9\n")
        with fstream(p, "a") as f:
            f.write("tail")
        data = fstream(p).read()
        self.assertIs(type(data), bstream)
        self.assertEqual(data, "one\ntwo\n3\x00\ncaf\xc3\xa9\ntail")
        with fstream(p, "wb") as f:
            pass
        self.assertEqual(os.path.getsize(p), 0)

    def test_large_content_survives_buffering(self):
        p = self.path("f")
        chunks = [os.urandom(n) for n in (1, 65535, 65536, 65537, 300000, 7)]
        with fstream(p, "w") as f:
            for c in chunks:
                f.write(c)
        self.assertEqual(fstream(p, "r").read(), "".join(chunks))

    def test_attributes(self):
        f = fstream([self.dir, "g"], mode="w")
        self.assertIs(type(f.name), ustream)
        self.assertEqual(f.name, os.path.join(self.dir, "g"))
        self.assertEqual((f.mode, f.filter, f.closed), ("w", None, False))
        f.close()
        self.assertTrue(f.closed)
        f.close()  # idempotent

    def test_mode_and_state_errors(self):
        p = self.path("f")
        open(p, "w").close()
        for mode in ("x+", "r+", "rw", "", "wt"):
            self.assertRaises(ValueError, fstream, p, mode)
        self.assertRaises(ValueError, fstream, p, "a", "gz")  # no appending to a filtered file
        self.assertRaises(IOError, fstream(p, "r").write, "x")
        self.assertRaises(IOError, fstream(p, "w").read)
        f = fstream(p, "w")
        f.close()
        self.assertRaises(ValueError, f.write, "x")
        self.assertRaises(ValueError, f.read)
        self.assertRaises(ValueError, f.__enter__)
        self.assertRaises(TypeError, fstream(p, "w").write, 5)
        self.assertRaises(TypeError, fstream, 5)

    def test_missing_file_raises_ioerror_like_open(self):
        p = self.path("missing")
        with self.assertRaises(IOError) as caught:
            fstream(p)
        e = caught.exception
        self.assertEqual(e.errno, errno.ENOENT)
        self.assertEqual(e.strerror, os.strerror(errno.ENOENT))
        self.assertEqual(e.filename, p)
        self.assertRaises(IOError, fstream, self.path("no/such/dir"), "w")
        with self.assertRaises(IOError) as caught:
            fstream(self.dir)
        self.assertEqual(caught.exception.errno, errno.EISDIR)

    @unittest.skipUnless(os.path.isdir("/proc/self/fd"), "needs /proc")
    def test_children_inherit_neither_our_files_nor_our_pipes(self):
        # Compared with what a child inherits anyway from whoever runs us.
        def inherited():
            return subprocess.check_output(["ls", "/proc/self/fd"], close_fds=False).split()
        before = inherited()
        f = fstream(self.path("f"), "w")
        self.assertEqual(inherited(), before)
        self.assertEqual(pstream("ls /proc/self/fd").execute().split(), before)
        f.close()


class FstreamFilterTest(TempDirTest):
    def test_truncated_input_names_the_file(self):
        p = self.path("t.gz")
        with fstream(p, "w", "gzip") as f:
            f.write(os.urandom(5000))
        self.write("t.gz", open(p, "rb").read()[:-10])
        r = fstream(p, filter="gzip")
        with self.assertRaises(StreamError) as caught:
            r.read()
        self.assertEqual(caught.exception.errno, 5)
        self.assertTrue(caught.exception.strerror.startswith(p + u": "), caught.exception.strerror)
        # The input is consumed: reading again must not pass for an empty file.
        with self.assertRaises(StreamError) as again:
            r.read()
        self.assertEqual(again.exception.strerror, caught.exception.strerror)
        r.close()


class PstreamTest(TempDirTest):
    def test_output_and_command_forms(self):
        self.assertEqual(pstream("echo hello").execute(), "hello\n")
        p = pstream(["printf", u"'%s-%s'", ustream(u"a"), "b"])
        self.assertIs(type(p.command), ustream)
        self.assertEqual(p.command, u"printf '%s-%s' a b")
        out = p.execute()
        self.assertIs(type(out), bstream)
        self.assertEqual(out, "a-b")
        self.assertEqual(p.execute(), "a-b")  # may run again
        self.assertEqual(pstream(("true",)).execute(), "")
        for bad in (5, ["echo", 5], None):
            self.assertRaises(TypeError, pstream, bad)

    def test_failure_reports_status_and_stderr(self):
        with self.assertRaises(StreamError) as caught:
            pstream("echo out; echo 'bad thing' >&2; echo more >&2; exit 3").execute()
        e = caught.exception
        self.assertEqual(e.errno, 3)
        self.assertEqual(e.strerror, u"bad thing\nmore")
        self.assertIs(type(e.strerror), unicode)
        with self.assertRaises(StreamError) as caught:
            pstream("printf 'x\\377y\\n' >&2; exit 1").execute()
        self.assertEqual(caught.exception.strerror, u"x\ufffdy")

    def test_death_by_signal(self):
        for sig in (signal.SIGKILL, signal.SIGTERM):
            with self.assertRaises(StreamError) as caught:
                pstream("kill -%d $$" % sig).execute()
            self.assertEqual(caught.exception.errno, 128 + sig)

    def test_megabytes_on_both_streams_do_not_deadlock(self):
        cmd = ("head -c 20000000 /dev/zero | tr '\\0' o & "
               "head -c 15000000 /dev/zero | tr '\\0' e >&2; wait")
        out = pstream(cmd).execute()
        self.assertEqual(len(out), 20000000)
        self.assertEqual(out.count("o"), 20000000)
        with self.assertRaises(StreamError) as caught:
            pstream(cmd + "; exit 4").execute()
        self.assertEqual(caught.exception.errno, 4)
        self.assertEqual(len(caught.exception.strerror), 15000000)

    def test_child_environment(self):
        self.assertEqual(pstream("cat").execute(), "")  # stdin is /dev/null
        if os.path.exists("/proc/self/status"):
            # Python ignores SIGPIPE; the child must not inherit that.
            status = pstream("grep SigIgn /proc/self/status").execute()
            self.assertFalse(int(status.split()[1], 16) & (1 << (signal.SIGPIPE - 1)), status)

    def test_waits_without_the_interpreter_lock(self):
        # The command cannot finish before another Python thread opens the
        # FIFO and writes to it, which that thread can only do while the
        # call does not hold the lock; timeout turns a held lock into a
        # failure instead of a hang.
        fifo = self.path("fifo")
        os.mkfifo(fifo)

        def writer():
            with open(fifo, "wb") as f:
                f.write("through")

        thread = threading.Thread(target=writer)
        thread.daemon = True
        thread.start()
        self.assertEqual(pstream("timeout 20 cat '%s'" % fifo).execute(), "through")
        thread.join()

if __name__ == "__main__":
    unittest.main()

"""Writing over an existing file: the new content reaches every name of the file and
leaves its owner, mode, attributes and mount as they were; a write that fails, or a
with block left by an exception, leaves the old content."""
import ctypes
import errno
import os
import resource
import signal
import stat
import subprocess
import time
import unittest
import warnings

import dorvane
import ondrel
from support import BYTES, TempDirTest, as_nobody, leftovers, root_only

libc = ctypes.CDLL(None, use_errno=True)


def c_string(text):
    return text if isinstance(text, BYTES) else text.encode("utf-8")


def setxattr(path, name, value):
    if libc.setxattr(c_string(path), c_string(name), value, len(value), 0) != 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), path)


def getxattr(path, name):
    value = ctypes.create_string_buffer(256)
    size = libc.getxattr(c_string(path), c_string(name), value, len(value))
    if size < 0:
        raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), path)
    return value.raw[:size]


class WritingOver(TempDirTest):
    def ways(self):
        """Each way of writing over a file: (write(path), read(path), what it wrote)."""
        source = self.write("source", b"by compress")

        def by_fstream(path):
            with ondrel.fstream(path, "wb", "gzip") as out:
                out.write(b"by fstream")
        return [(by_fstream, lambda path: dorvane.cat(path, "gzip"), b"by fstream"),
                (lambda path: dorvane.compress(source, path, "xz"),
                 lambda path: dorvane.cat(path, "xz"), b"by compress")]

    def test_every_name_and_attribute_is_kept(self):
        target, link = self.path("target"), self.path("link")
        for write, read, wrote in self.ways():
            self.write("target", b"original")
            try:
                setxattr(target, "user.origin", b"kept")
            except OSError as e:
                self.skipTest("no user attributes here: %s" % e)
            write(target)  # one name: replaced whole, the attribute copied over
            self.assertEqual((read(target), getxattr(target, "user.origin")), (wrote, b"kept"))
            os.link(target, link)
            inode = os.stat(target).st_ino
            write(target)
            self.assertEqual((read(link), read(target)), (wrote, wrote))
            self.assertEqual(os.stat(link).st_ino, inode)
            os.remove(link)
        self.assertEqual(leftovers(self.dir, ["source", "target"]), [])

    def test_large_old_content_is_let_go(self):
        # A large file written over is dropped off the caller's path, but dropped:
        # nothing of ours may go on holding it once the call has returned.
        target = os.path.realpath(self.write("target", os.urandom(3 << 20)))
        fds = "/proc/self/fd"

        def holding():
            held = []
            for name in os.listdir(fds):
                try:
                    if os.readlink(os.path.join(fds, name)) == target + " (deleted)":
                        held.append(name)
                except OSError:  # closed meanwhile
                    pass
            return held
        for write, read, wrote in self.ways():
            with open(target, "wb") as f:
                f.write(os.urandom(3 << 20))
            write(target)
            self.assertEqual(read(target), wrote)
            deadline = time.time() + 10
            while holding() and time.time() < deadline:
                time.sleep(0.01)
            self.assertEqual(holding(), [])

    @root_only
    def test_root_file_in_sticky_directory_written_by_another_user(self):
        os.chmod(self.dir, 0o1777)
        target = self.write("shared", b"original")
        os.chmod(target, 0o666)

        def check():
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                for write, read, wrote in self.ways():
                    write(target)
                    assert read(target) == wrote, read(target)

        self.assertEqual(as_nobody(check), "")
        info = os.stat(target)
        self.assertEqual((info.st_uid, stat.S_IMODE(info.st_mode)), (0, 0o666))
        self.assertEqual(leftovers(self.dir, ["shared", "source"]), [])

    @root_only
    def test_bind_mounted_file_on_a_full_file_system(self):
        small = self.path("small")
        os.mkdir(small)
        target = self.touch("mounted")
        if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", small]) != 0:
            self.skipTest("cannot mount here")
        self.addCleanup(subprocess.call, ["umount", small])
        backing = self.write(os.path.join(small, "file"), b"original")
        if subprocess.call(["mount", "--bind", backing, target]) != 0:
            self.skipTest("cannot bind-mount here")
        self.addCleanup(subprocess.call, ["umount", target])
        for write, read, wrote in self.ways():
            write(target)
            self.assertEqual(read(backing), wrote)
        big = self.write("big", os.urandom(1 << 20))
        full = self.raised(IOError, dorvane.compress, big, target, "lzop")
        self.assertEqual(full.errno, errno.ENOSPC)
        self.assertEqual(read(backing), wrote)  # room taken before a byte was overwritten
        self.assertEqual(leftovers(self.dir, ["small", "mounted", "source", "big"]), [])

    def test_directory_without_room_for_a_temporary(self):
        os.chmod(self.dir, 0o777)
        closed, tmp = self.path("closed"), self.path("tmp")
        os.mkdir(tmp)
        os.chmod(tmp, 0o777)
        os.mkdir(closed)
        target = self.write(os.path.join("closed", "file"), b"original")
        os.chmod(target, 0o666)
        os.chmod(closed, 0o555)
        big = self.write("big", os.urandom(3 << 20))

        def check():
            os.environ["TMPDIR"] = tmp
            for filter_name in (None, "lzop"):
                try:
                    with ondrel.fstream(target, "wb", filter_name) as out:
                        out.write(os.urandom(200000))
                        raise KeyError("body")
                except KeyError:
                    pass
                assert open(target).read() == "original", filter_name
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            limits = resource.getrlimit(resource.RLIMIT_FSIZE)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, limits[1]))
            try:
                dorvane.compress(big, target, "gzip")
                raise AssertionError("not refused")
            except IOError as e:
                assert e.errno == errno.EFBIG, e
            assert open(target).read() == "original"
            resource.setrlimit(resource.RLIMIT_FSIZE, limits)
            for tmpdir in (tmp, closed):  # with no temporary anywhere, written directly
                os.environ["TMPDIR"] = tmpdir
                dorvane.compress(big, target, "gzip")
                assert dorvane.cat(target, "gzip") == open(big, "rb").read(), tmpdir

        self.assertEqual(as_nobody(check), "")
        self.assertEqual((os.listdir(closed), os.listdir(tmp)), (["file"], []))


if __name__ == "__main__":
    unittest.main()

"""Failing disks and refusing file systems: every failure raises, and a write
over an existing file that fails leaves the original as it was."""
import errno
import os
import stat
import struct
import textwrap
import unittest

import dorvane
import ondrel
from support import FILTERS, PY3, TempDirTest, as_nobody, leftovers, run_python

IOERROR = "OSError" if PY3 else "IOError"  # one class on 3.x


class DeviceFull(TempDirTest):  # written directly, being no regular file
    def test_every_writer_raises_enospc_and_stays_failed(self):
        self.assertEqual(self.raised(IOError, dorvane.compress, __file__, "/dev/full", "gzip").errno, errno.ENOSPC)
        f = ondrel.fstream("/dev/full", "w")
        f.write(b"x")  # buffered: fails at close
        caught = self.raised(IOError, f.close)
        self.assertEqual((caught.errno, caught.filename, f.closed), (errno.ENOSPC, u"/dev/full", True))
        f = ondrel.fstream("/dev/full", "w")
        self.assertRaises(IOError, f.write, b"x" * (1 << 20))  # too big to buffer: at once
        self.assertRaises(IOError, f.write, b"y")
        self.assertRaises(IOError, f.close)
        self.assertTrue(f.closed)
        with self.assertRaises(KeyError):  # the body's exception wins over the failed close
            with ondrel.fstream("/dev/full", "w") as f:
                f.write(b"x")
                raise KeyError("body")
        self.assertTrue(f.closed)


@unittest.skipIf("asan" in os.environ.get("LD_PRELOAD", ""), "ASan needs the address space it reserves")
class OutOfMemory(TempDirTest):
    def test_dictionary_beyond_the_address_space_left(self):
        # Our own .lzma, made to ask for a 1 GiB dictionary (within the
        # decoder's limit) in a child allowed only 256 MiB more, raises
        # MemoryError; 2 GiB is past the limit and stays the data's fault.
        packed = self.path("data.lzma")
        with ondrel.fstream(packed, "wb", "lzma") as out:
            out.write(b"some text " * 1000)
        data = open(packed, "rb").read()
        for name, mib in (("fits", 1024), ("too_big", 2048)):
            self.write(name, data[:1] + struct.pack("<I", mib << 20) + data[5:])
        lines = self.child("""
            import resource, sys, ondrel
            vm = [l for l in open('/proc/self/status') if l.startswith('VmSize')][0]
            limit = int(vm.split()[1]) * 1024 + (256 << 20)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            for name in sys.argv[1:]:
                try:
                    with ondrel.fstream(name, 'rb', 'lzma') as f:
                        f.read()
                    print(name + ' read')
                except (MemoryError, ondrel.StreamError) as e:
                    print('%s %s %s' % (name, type(e).__name__, getattr(e, 'errno', '')))
            """, [self.path("fits"), self.path("too_big")])
        self.assertEqual(lines, [self.path("fits") + " MemoryError ",
                                 self.path("too_big") + " StreamError 5"])


class Replacement(TempDirTest):  # over an existing regular file, through a temporary
    def test_compress_onto_itself_keeps_metadata(self):
        data = os.urandom(50000) + b"text " * 20000
        target, link = self.write("data", b""), self.path("link")
        os.symlink("data", link)
        for filter_name in FILTERS:
            self.write("data", data)
            os.chmod(target, 0o640)
            if os.geteuid() == 0:
                os.chown(target, 1234, 4321)
            dorvane.compress(link, link, filter_name)
            self.assertTrue(os.path.islink(link), filter_name)
            self.assertNotEqual(open(target, "rb").read(), data, filter_name)
            dorvane.decompress(target, target, filter_name)
            self.assertEqual(open(target, "rb").read(), data, filter_name)
            info = os.stat(target)
            self.assertEqual(stat.S_IMODE(info.st_mode), 0o640, filter_name)
            if os.geteuid() == 0:
                self.assertEqual((info.st_uid, info.st_gid), (1234, 4321), filter_name)
            self.assertEqual(leftovers(self.dir, ["data", "link"]), [], filter_name)
        old = os.umask(0o027)
        try:
            dorvane.compress(target, self.path("new"), "xz")  # a new file: as open() makes it
        finally:
            os.umask(old)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new")).st_mode), 0o640)

    def test_long_names_work(self):
        deep = self.dir
        while len(deep) < 3850:
            deep = os.path.join(deep, "d" * 200)
        os.makedirs(deep)
        # The longest name; then one with no room left for a temporary's name.
        for path in (self.path("n" * 255), os.path.join(deep, "f" * (4080 - len(deep)))):
            for attempt in (b"first", b"second"):  # the second replaces the first
                with ondrel.fstream(path, "wb", "gzip") as out:
                    out.write(attempt)
                self.assertEqual(dorvane.cat(path, "gzip"), attempt)
        self.assertEqual(leftovers(self.dir, ["n" * 255, "d" * 200]), [])

    def test_exception_leaving_a_with_block_abandons_what_it_wrote(self):
        target = self.write("target", b"replaced")
        out = ondrel.fstream(target, "wb")
        self.assertRaises(TypeError, out.write, 12)  # refused before anything is written
        out.write(b"original")
        del out  # a dropped stream still commits, as a dropped file flushes
        for filter_name in [None] + FILTERS:
            for error in (KeyError, KeyboardInterrupt):
                with self.assertRaises(error):
                    with ondrel.fstream(target, "wb", filter_name) as out:
                        out.write(os.urandom(200000))
                        raise error("body")
                self.assertTrue(out.closed)
                self.assertTrue(open(target, "rb").read() == b"original", filter_name)
                self.assertEqual(leftovers(self.dir, ["target"]), [], filter_name)
        # A file the block itself created goes again; one closed in time stays.
        for name, close in (("fresh", False), ("closed", True)):
            with self.assertRaises(KeyError):
                with ondrel.fstream(self.path(name), "wb") as out:
                    self.assertTrue(os.path.isfile(self.path(name)))  # made at once
                    out.write(b"complete")
                    if close:
                        out.close()
                    raise KeyError("body")
        self.assertEqual(leftovers(self.dir, ["target"]), ["closed"])
        self.assertEqual(open(self.path("closed")).read(), "complete")


class FileSizeLimit(TempDirTest):  # write(2) fails part-way, as on a full disk
    def test_failed_write_is_raised_for_the_destination_and_leaves_nothing(self):
        big = self.write("big", os.urandom(1 << 20) * 3)
        packed = self.path("big.gz")
        dorvane.compress(big, packed, "gz")
        broken = self.write("broken.gz", open(packed, "rb").read()[:-1000])
        out_dir = self.path("out")
        os.mkdir(out_dir)
        os.chmod(self.write(os.path.join("out", "existing"), b"old"), 0o600)
        status, out, err = run_python(textwrap.dedent("""
            import dorvane, ondrel, os, resource, signal, sys
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
            def write(src, dest, name):
                # A bytearray or unicode argument is converted into a copy that
                # is freed the moment write() fails; no worker may still read it.
                data = bytearray(open(src, "rb").read())
                with ondrel.fstream(dest, "wb", None if name == "-" else name) as out:
                    out.write(data.decode("latin-1") if name == "gz" else data)
            for f, src, name in zip(sys.argv[1::3], sys.argv[2::3], sys.argv[3::3]):
                for dest in ("existing", "new"):
                    try:
                        getattr(dorvane, f, write)(src, dest, name)
                    except BaseException as e:
                        print("%s %s %s" % (type(e).__name__, getattr(e, "errno", None),
                                            getattr(e, "filename", None)))
            print("%s %04o" % (sorted(os.listdir(".")), os.stat("existing").st_mode & 0o777))
            out = ondrel.fstream("/dev/full", "wb")
            out.write(b"x")
            del out  # dropped unclosed: the failed close goes to stderr
            """), ["compress", big, "gz", "decompress", packed, "gz", "decompress", broken, "gz"] +
            sum((["write", big, name] for name in ["-", "gz"] + FILTERS), []), cwd=out_dir)
        self.assertEqual(status, 0, err)
        too_big = ["%s 27 existing" % IOERROR, "%s 27 new" % IOERROR]
        self.assertEqual(out.splitlines(), too_big * 2 + ["StreamError 5 None"] * 2 + too_big * 7 +
                         ["['existing'] 0600"])
        self.assertEqual(open(os.path.join(out_dir, "existing")).read(), "old")
        self.assertIn("/dev/full", err)
        self.assertIn("No space left on device", err)


class Permissions(TempDirTest):
    def test_refusals(self):
        os.chmod(self.dir, 0o777)
        source = self.write("source", b"payload " * 1000)
        secret = self.touch("secret")
        os.chmod(secret, 0)
        closed_dir = self.path("closed")
        os.mkdir(closed_dir)
        frozen = self.write("frozen", b"frozen")  # nobody may write it, in a writable directory
        os.chmod(frozen, 0o444)
        os.chmod(closed_dir, 0o555)

        def check():
            for call in (lambda: dorvane.cat(secret), lambda: dorvane.compress(secret, self.path("o"), "xz"),
                         lambda: dorvane.copy(secret, self.path("o")),
                         lambda: dorvane.compress(source, os.path.join(closed_dir, "new"), "lzop"),
                         lambda: ondrel.fstream(frozen, "wb"),
                         lambda: dorvane.compress(source, frozen, "gzip")):
                try:
                    call()
                    raise AssertionError("not refused")
                except EnvironmentError as e:
                    assert e.errno == errno.EACCES, e

        self.assertEqual(as_nobody(check), "")
        self.assertEqual(os.listdir(closed_dir), [])
        self.assertEqual(open(frozen).read(), "frozen")
        self.assertEqual(leftovers(self.dir, ["source", "secret", "closed", "frozen"]), [])


if __name__ == "__main__":
    unittest.main()

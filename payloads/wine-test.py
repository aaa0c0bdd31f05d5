"""magic's Windows branch run for real under Wine, on the committed tool files
(payloads/wine-check sets it up and runs it; not part of `make test`).

DORVANE_WINE names the Wine loader (default: wine). DORVANE_WINE_PAYLOADS
names a directory with another build of the five files to use instead of the
attributes (wine-check passes a 64-bit build where the kernel runs no 32-bit
code). Anything that keeps Wine from running is a failure, not a skip."""
import gzip
import imp
import ntpath
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import zlib
from distutils.spawn import find_executable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import dorvane  # noqa: E402
from ondrel import StreamError, bstream, fstream, pstream, ustream  # noqa: E402

from support import ROOT, Rebinding, TempDirTest  # noqa: E402
from test_payloads import ATTRIBUTES, payload  # noqa: E402

embed = imp.load_source("dorvane_payloads_embed", os.path.join(HERE, "embed.py"))


def make_png(path):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    with open(path, "wb") as f:
        f.write("\x89PNG\r\n\x1a\n" + chunk("IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0)) +
                chunk("IDAT", zlib.compress("\0" + "\xff" * 6 + "\0" + "\x00" * 6)) +
                chunk("IEND", ""))
    return path


def host_file(path, *options):
    return subprocess.check_output(["/usr/bin/file"] + list(options) +
                                   ["--brief", "--mime-type", "--", path]).strip()


def run(command, timeout=600):
    """(status, out, err). Output goes through files, not pipes: Wine's
    service processes inherit them and outlive the program."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen(command, stdout=out, stderr=err)
        timer = threading.Timer(timeout, child.kill)
        timer.start()
        try:
            child.wait()
        finally:
            timer.cancel()
        out.seek(0)
        err.seek(0)
        return child.returncode, out.read(), err.read()


class WineMagicTest(TempDirTest):

    @classmethod
    def setUpClass(cls):
        cls.prefix_root = cls.saved_env = None
        cls.wine = find_executable(os.environ.get("DORVANE_WINE", "wine"))
        cls.reason = None
        if cls.wine is None:
            cls.reason = "wine is not installed (make wine-check installs it)"
            return
        cls.texts = {}
        alternative = os.environ.get("DORVANE_WINE_PAYLOADS")
        for attribute, name in ATTRIBUTES:
            cls.texts[attribute] = (embed.attribute_text(payload(name, alternative))
                                    if alternative else getattr(dorvane, attribute))
        cls.saved_env = dict((k, os.environ.get(k)) for k in ("WINEDEBUG", "WINEPREFIX"))
        os.environ["WINEDEBUG"] = "-all"
        if not os.environ.get("WINEPREFIX"):
            cls.prefix_root = tempfile.mkdtemp(prefix="dorvane-wine-")
            os.environ["WINEPREFIX"] = os.path.join(cls.prefix_root, "prefix")
        probe = tempfile.mkdtemp(prefix="dorvane-probe-")
        try:
            for attribute, name in ATTRIBUTES:
                with open(os.path.join(probe, name), "wb") as f:
                    f.write(bstream(cls.texts[attribute]).base64_decode().zlib_decode())
            version = [cls.wine, os.path.join(probe, "file.exe"), "--version"]
            # The first start creates the prefix, which takes a while.
            status, out, err = run(version)
            if status == 0 and "magic file from" in out and cls.prefix_root:
                # Without a lasting server and its services, every call
                # would start them, and magic's output pipe would stay open
                # until they ended. They start here, holding only files.
                run([cls.wineserver(), "-p"], timeout=60)
                status, out, err = run(version)
        finally:
            shutil.rmtree(probe, ignore_errors=True)
        if status != 0 or "magic file from" not in out:
            last = (err.strip().splitlines() or ["status %d" % status])[-1]
            cls.reason = "wine cannot run file.exe here: %s" % last

    @staticmethod
    def wineserver():
        return find_executable("wineserver") or "/usr/lib/wine/wineserver"

    @classmethod
    def tearDownClass(cls):
        if cls.prefix_root:
            try:
                run([cls.wineserver(), "-k"], timeout=60)
            except OSError:
                pass
            shutil.rmtree(cls.prefix_root, ignore_errors=True)
        for key, value in (cls.saved_env or {}).items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value

    def setUp(self):
        if self.reason:
            self.fail(self.reason)
        TempDirTest.setUp(self)

    def test_windows_branch_agrees_with_linux_file(self):
        text = self.path("t.txt")
        with open(text, "wb") as f:
            f.write("plain words and nothing more\n" * 40)
        packed = self.path("t.txt.gz")
        with open(text, "rb") as source:
            archive = gzip.GzipFile(packed, "wb")  # with a file name in the header
            archive.write(source.read())
            archive.close()
        cases = [(text, False), (make_png(self.path("p.png")), False), ("/bin/ls", False),
                 (packed, False), (packed, True)]
        wine, directories = self.wine, []

        def wine_pstream(command):
            directories.append(os.path.dirname(command[0]))
            return pstream([u"%s %s" % (wine, command[0])] + list(command[1:]))

        with Rebinding(dorvane, __system__="windows", pstream=wine_pstream, **self.texts):
            for path, look_inside in cases:
                answer = dorvane.magic(path, look_inside)
                expected = host_file(path, *(["-z"] if look_inside else []))
                sys.stdout.write("\n  %-9s z=%-5s windows: %-30s linux: %s"
                                 % (os.path.basename(path), look_inside, answer, expected))
                self.assertEqual(answer, expected.decode("ascii"), path)
                self.assertFalse(os.path.exists(directories[-1]), directories[-1])
        self.assertEqual(len(set(directories)), len(cases))
        self.assertNotEqual(host_file(packed), host_file(packed, "-z"))

    def runline(self):
        """payloads/runline.cpp built for Windows: ondrel's Windows runner,
        which hands a command line to `cmd /d /s /c` as pstream does."""
        compiler = find_executable(("x86_64" if "64" in os.path.basename(self.wine) else "i686") +
                                   "-w64-mingw32-g++-posix")
        self.assertIsNotNone(compiler, "no mingw-w64 g++ with posix threads to build payloads/runline.cpp")
        exe = self.path("runline.exe")
        subprocess.check_call([compiler, "-std=c++17", "-O1", "-static", "-I", ROOT, "-o", exe,
                               os.path.join(HERE, "runline.cpp"),
                               os.path.join(ROOT, "ondrel", "process", "windows.cpp")])
        return exe

    def test_paths_with_blanks_and_cmd_characters_through_cmd(self):
        # Everything magic sees is a Windows path (Wine's Z: is /); only the
        # file operations it calls by name are mapped back to this side.
        windows = lambda p: u"Z:" + p.replace("/", "\\")
        here = lambda p: p[2:].replace("\\", "/")
        runline = windows(self.runline())
        base = self.path("dir a&b (c) 100%")
        os.mkdir(base)
        target = os.path.join(base, "my file & (1) %TEMP%.txt")
        with open(target, "wb") as f:
            f.write("plain words and nothing more\n" * 40)
        work = os.path.join(base, "work (x) & %TEMP% y")
        line_file = self.path("line.txt")
        wine, lines = self.wine, []

        def tmpdir():
            os.mkdir(work)
            return ustream(windows(work))

        class CmdProcess(object):
            def __init__(self, command):
                self.line = u" ".join(command)  # as pstream joins a list

            def execute(self):
                lines.append(self.line)
                with open(line_file, "wb") as f:
                    f.write(self.line.encode("ascii"))
                status, out, err = run([wine, runline, windows(line_file)])
                self.assertEqual(status, 0, err)
                code, _, out = out.partition("\n")
                if code.strip() != "0":
                    raise StreamError(int(code), err.strip())
                return bstream(out)

        CmdProcess.assertEqual = self.assertEqual
        with Rebinding(dorvane, __system__="windows", pstream=CmdProcess, tmpdir=tmpdir,
                       join=ntpath.join, exists=lambda p: os.path.exists(here(p)),
                       fstream=lambda p, mode: fstream(here(p), mode),
                       remove=lambda p: os.remove(here(p)), rmdir=lambda p: os.rmdir(here(p)),
                       **self.texts):
            self.assertEqual(dorvane.magic(windows(target)), host_file(target).decode("ascii"))
            # A trailing backslash must not escape the closing quote (the C
            # runtime's stat refuses other directories written that way).
            self.assertEqual(dorvane.magic(u"Z:\\"), u"inode/directory")
        self.assertFalse(os.path.exists(work))
        sys.stdout.write("\n  " + "\n  ".join(lines))
        self.assertEqual(len(lines), 2)


if __name__ == "__main__":
    unittest.main()

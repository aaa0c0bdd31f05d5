# -*- coding: utf-8 -*-
"""screen, magic and appdir, with the real shell and the real `file` command."""
import os
import subprocess
import sys
import unittest

import dorvane
from ondrel import StreamError, bstream, pstream, ustream

from support import Rebinding, TempDirTest, as_str, cwd, native
from test_payloads import ATTRIBUTES

# Each would run a command, or be read as an option, if it reached a shell
# or a command line unprotected.
HOSTILE = ["a'; touch pwned; '.txt", 'q"uote $(touch pwned) `touch pwned`.txt', "semi;colon",
           "a|touch pwned", "a&&touch pwned", "new\nline", "new\rline", "-C", "--files-from=x",
           "--version", " lead space", "star*", "back\\slash", as_str(u"caf\xe9 with blank"), "'", ""]


def file_says(path, *options):
    return native(subprocess.check_output(["/usr/bin/file"] + list(options) +
                                          ["--brief", "--mime-type", "--", path]).strip())


class ScreenTest(TempDirTest):
    def test_linux_gives_one_shell_word_and_magic_runs_nothing_else(self):
        self.assertEqual(dorvane.screen("a b"), u"'a b'")
        self.assertEqual(dorvane.screen(""), u"''")
        self.assertIs(type(dorvane.screen("x")), ustream)
        with cwd(self.dir):
            for name in HOSTILE:
                echoed = subprocess.check_output(["/bin/sh", "-c", "printf %s " + as_str(dorvane.screen(name))])
                self.assertEqual(native(echoed), name)
                if name:
                    for path in (name, self.path(name)):  # relative: a leading "-" bites
                        self.write(path, b"hello " * 100)  # cwd is self.dir
                        self.assertEqual(dorvane.magic(path), u"text/plain", repr(path))
                    os.remove(name)
        self.assertEqual(os.listdir(self.dir), [])  # nothing ran

    def test_windows_gives_one_quoted_word(self):
        # cmd keeps everything between double quotes but %, which it still
        # expands there: each % stands between two quoted runs.
        # The program's runtime reads a backslash run before a closing quote
        # as escapes, so such a run is doubled.
        cases = [("a b", u'"a b"'), ("^ x&y(1)", u'"^ x&y(1)"'), ("", u'""'),
                 ("C:\\Program Files\\", u'"C:\\Program Files\\\\"'),
                 ("a\\\\b", u'"a\\\\b"'),
                 ("100%", u'"100"%""'),
                 ("C:\\x\\%TEMP%\\y", u'"C:\\x\\\\"%"TEMP"%"\\y"')]
        with Rebinding(dorvane, __system__="windows"):
            for path, expected in cases:
                self.assertEqual(dorvane.screen(path), expected)
            self.assertIs(type(dorvane.screen("x")), ustream)
        with Rebinding(dorvane, __system__="plan9"):
            self.assertEqual(dorvane.screen("a 'b'"), u"a 'b'")
            self.assertIs(type(dorvane.screen("a")), ustream)


class RecordingProcess(object):  # MagicTest.setUp gives it commands and output
    def __init__(self, command):
        self.commands.append(command)

    def execute(self):
        return bstream(self.output)


class MagicTest(TempDirTest):
    def setUp(self):
        TempDirTest.setUp(self)
        RecordingProcess.commands = []
        RecordingProcess.output = "text/plain\r\n"

    def test_types_agree_with_file_and_zlib_looks_inside(self):
        plain = self.write("words", b"plain words\n" * 200)
        for path in [plain, self.write("empty", b""), "/bin/ls", self.dir]:
            answer = dorvane.magic(path)
            self.assertIs(type(answer), ustream)
            self.assertEqual(answer, file_says(path))
        packed = self.path("words.bz2")
        dorvane.compress(plain, packed, "bzip2")
        self.assertEqual(dorvane.magic(packed), file_says(packed))
        self.assertEqual(dorvane.magic(packed, True), "text/plain")

    def test_options_line_ends_and_failures(self):
        path = self.write("f", b"x")
        with Rebinding(dorvane, pstream=RecordingProcess):
            for zlib in [False, None, 0, "", True, 1, "yes"]:
                self.assertEqual(dorvane.magic(path, zlib), u"text/plain")
            RecordingProcess.output = "text/plain\n"
            self.assertEqual(dorvane.magic(path), u"text/plain")
        options = [c[1] for c in RecordingProcess.commands]
        self.assertEqual(options, ["--brief --mime-type"] * 4 + ["-z --brief --mime-type"] * 3 +
                         ["--brief --mime-type"])
        self.assertEqual(RecordingProcess.commands[0], [u"'/usr/bin/file'", options[0],
                                                        u"'%s'" % path])
        # A failure or a complaint is raised, not returned.
        real_screen = dorvane.screen
        broken = lambda p: ustream("/bin/false") if p == "/usr/bin/file" else real_screen(p)
        with Rebinding(dorvane, screen=broken):
            caught = self.raised(StreamError, lambda: dorvane.magic(path))
        self.assertEqual(caught.errno, 1)
        # `file` exits 0 with a complaint on its standard output.
        gone = self.path("gone")
        with Rebinding(dorvane, exists=lambda path: True):
            caught = self.raised(StreamError, lambda: dorvane.magic(gone))
        self.assertEqual((caught.errno, caught.strerror), (1, file_says(gone)))
        self.assertIn("No such file or directory", caught.strerror)
        types = ["application/x-decompression-error-zlib-File-too-short\n", "application/vnd.ms-excel\n",
                 "text/x-c++\n", "inode/x-empty\n"]
        with Rebinding(dorvane, pstream=RecordingProcess):
            for output in types + ["regular file, no read permission\n", "\r\n", "text/plain/x\n", "text/\n",
                                   "/plain\n", "text/pl ain\n", "text/plain;\n"]:
                RecordingProcess.output = output
                if output in types:
                    self.assertEqual(dorvane.magic(path), output.strip())
                else:
                    caught = self.raised(StreamError, dorvane.magic, path)
                    self.assertEqual((caught.errno, caught.strerror), (1, output.strip()))

    def test_missing_path_or_unknown_system_starts_nothing(self):
        with Rebinding(dorvane, pstream=RecordingProcess, __system__="plan9"):
            self.assertEqual(self.raised(OSError, dorvane.magic, self.path("missing"), True).errno, 2)
            caught = self.raised(UnboundLocalError, dorvane.magic, self.write("f", b"x"))
            self.assertEqual(str(caught), "local variable 'file_exe' referenced before assignment")
            caught = self.raised(UnboundLocalError, dorvane.appdir)
        self.assertEqual(str(caught), "local variable 'result' referenced before assignment")
        self.assertEqual(RecordingProcess.commands, [])
        with cwd("/"):
            self.assertEqual(dorvane.appdir(), os.path.realpath(sys.executable))
        self.assertIs(type(dorvane.appdir()), ustream)
        with Rebinding(dorvane, __system__="windows"):
            self.assertEqual(dorvane.appdir(), os.path.dirname(os.path.realpath(sys.executable)))

    def test_windows_branch_writes_runs_and_cleans_up(self):
        payloads = dict((name, bstream(name * 100).zlib_encode().base64_encode()) for name, _ in ATTRIBUTES)
        work = self.path("work dir")
        seen = {}

        def tmpdir():
            os.mkdir(work)
            return ustream(work)

        class Process(RecordingProcess):
            answer = "application/x-dosexec\r\n"

            def execute(self):
                for entry in os.listdir(work):
                    seen[entry] = open(os.path.join(work, entry), "rb").read()
                return bstream(self.answer)

        with Rebinding(dorvane, __system__="windows", pstream=Process, tmpdir=tmpdir, **payloads):
            answer = dorvane.magic(self.write("a b.exe", b"x"))
        self.assertEqual(answer, u"application/x-dosexec")
        self.assertEqual(Process.commands[0], [
            u'"%s"' % os.path.join(work, "file.exe"),
            u'--brief --mime-type -m "%s"' % os.path.join(work, "mime.dll"),
            u'"%s"' % self.path("a b.exe")])
        self.assertEqual(seen, dict((name, attribute.encode() * 100) for attribute, name in ATTRIBUTES))
        self.assertFalse(os.path.exists(work))
        # A complaint is raised once this call's files are gone.
        Process.answer = "cannot open `C:\\a b' (No such file or directory)\r\n"
        with Rebinding(dorvane, __system__="windows", pstream=Process, tmpdir=tmpdir, **payloads):
            self.assertEqual(self.raised(StreamError, dorvane.magic, self.path("a b.exe")).strerror,
                             Process.answer.strip())
        self.assertFalse(os.path.exists(work))


if __name__ == "__main__":
    unittest.main()

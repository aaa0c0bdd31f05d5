"""Shared helpers for the Python suites."""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import traceback
import types
import unittest

PY3 = sys.version_info[0] >= 3
# What the modules answer with, by interpreter: text (ustream's base) and
# bytes (bstream's base, what files hold).
TEXT = str if PY3 else unicode
BYTES = bytes if PY3 else str
py2_only = unittest.skipIf(PY3, "2.7's own argument texts and str/unicode rules")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
# For a child that imports helpers from the suites themselves.
WITH_TESTS = BUILD + os.pathsep + HERE
NOBODY = 65534
MIB = 1 << 20
root_only = unittest.skipUnless(os.geteuid() == 0, "needs root to act as another user or to mount")

# The canonical filter names, the aliases dorvane accepts for them, and the
# first bytes each format starts with: enough to tell which codec a name
# reached without asking the codec itself.
FILTERS = ["gzip", "bzip2", "lzop", "xz", "lzma"]
ALIASES = {"gz": "gzip", "bz2": "bzip2", "lzo": "lzop"}
HEADERS = {"gzip": b"\x1f\x8b", "bzip2": b"BZh", "lzop": b"\x89LZO", "xz": b"\xfd7zXZ\0",
           "lzma": b"\x5d\0\0"}


def as_str(text):
    """`text` as the interpreter's own str: UTF-8 bytes on 2.7, the text itself on 3.x."""
    return text if PY3 else text.encode("utf-8")


def as_text(name):
    """A name from the file system (or as_str) back as text."""
    return name if isinstance(name, TEXT) else name.decode("utf-8")


def leftovers(directory, expected):
    return sorted(set(os.listdir(directory)) - set(expected))


def native(data):
    """Bytes from a child as the interpreter's own str (undecodable bytes kept as on os.fsdecode)."""
    return data.decode("utf-8", "surrogateescape") if PY3 else data


def load_source(name, path):
    """The module in the file `path`, run the same way on every interpreter (imp is gone from
    3.12), as setup.py runs payloads/embed.py."""
    module = types.ModuleType(name)
    module.__file__ = path
    with open(path, "rb") as f:  # compile() reads the file's own coding line
        exec(compile(f.read(), path, "exec"), module.__dict__)
    return module


def run_python(code, args=(), pythonpath=BUILD, cwd=None, stdin=None, timeout=None, **environ):
    """(status, stdout, stderr) of `code` in a fresh interpreter, `environ` added, killed
    after `timeout` seconds if given; the outputs as str (`stdin` too may be a str)."""
    env = dict(os.environ, PYTHONPATH=pythonpath, **environ)
    command = [sys.executable] + (["-c", code] if code is not None else []) + list(args)
    child = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if PY3 and isinstance(stdin, str):
        stdin = stdin.encode("utf-8")
    killer = threading.Timer(timeout, child.kill) if timeout else None
    if killer:  # a hang fails the test instead of stopping the suite
        killer.start()
    try:
        out, err = child.communicate(stdin)
    finally:
        if killer:
            killer.cancel()
    return child.returncode, native(out), native(err)


def as_nobody(check):
    """The traceback of `check` run in a child as nobody (root ignores permissions), or ""."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        message = "failed"
        try:
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            check()
            message = ""
        except BaseException:
            message = traceback.format_exc()
        finally:
            os.write(write_end, message.encode("utf-8") if PY3 else message)
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as r:
        message = native(r.read())
    os.waitpid(pid, 0)
    return message


class Test(unittest.TestCase):
    def raised(self, kind, f, *args, **kwargs):
        with self.assertRaises(kind) as caught:
            f(*args, **kwargs)
        return caught.exception

    def child(self, code, args=(), **keywords):
        """The lines a fresh interpreter prints running `code` (dedented),
        which must exit 0; the keywords are run_python's."""
        status, out, err = run_python(code and textwrap.dedent(code), args, **keywords)
        self.assertEqual(status, 0, err[-3000:])
        return out.splitlines()


class TempDirTest(Test):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dorvane-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def touch(self, *parts):
        return self.write(os.path.join(*parts), b"x")

    def assertMissing(self, f, *args):
        """f(*args) refuses the missing args[0], from one traceback entry naming f."""
        from ondrel import ustream
        try:
            f(*args)
        except OSError as e:
            self.assertEqual((e.errno, e.strerror), (2, "No such file or directory"))
            if PY3:
                self.assertIsInstance(e, FileNotFoundError)
            self.assertIs(type(e.filename), TEXT)
            self.assertEqual(e.filename, ustream(args[0]))
            entries = last_entry(sys.exc_info())
            self.assertEqual(len(entries), 1)
            self.assertTrue(entries[0][2].startswith("dorvane." + f.__name__), entries[0][2])
        else:
            self.fail("%s accepted a missing path" % f.__name__)

    def write(self, name, data):
        return write_file(self.path(name), data)


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


@contextlib.contextmanager
def cwd(directory):
    here = os.getcwd()
    os.chdir(directory)
    try:
        yield
    finally:
        os.chdir(here)


@contextlib.contextmanager
def Rebinding(module, **names):
    saved = dict((name, getattr(module, name, Rebinding)) for name in names)
    for name, value in names.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is Rebinding:
                delattr(module, name)
            else:
                setattr(module, name, value)


class FakeOs(object):
    """Stands in for os: os.path answers as the functions given."""

    def __init__(self, **answers):
        self.path = type("FakePath", (object,), dict((k, staticmethod(v)) for k, v in answers.items()))


def outcome(f, *args):
    """What a call ends with: its exception's type, text and dorvane traceback entries."""
    try:
        f(*args)
    except Exception as e:
        return type(e).__name__, str(e), [entry[2].split()[0] for entry in last_entry(sys.exc_info())]
    return None


def last_entry(exc_info):
    """The traceback entries that belong to dorvane."""
    return [e for e in traceback.extract_tb(exc_info[2]) if e[0] == "dorvane"]

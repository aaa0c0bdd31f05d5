"""Shared helpers for the Python suites."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))


def run_python(code, args=(), pythonpath=BUILD, cwd=None, stdin=None):
    """Runs `code` in a fresh interpreter; returns (status, stdout, stderr)."""
    env = dict(os.environ, PYTHONPATH=pythonpath)
    command = [sys.executable]
    command += ["-c", code] if code is not None else []
    command += list(args)
    child = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate(stdin)
    return child.returncode, out, err


class TempDirTest(unittest.TestCase):
    """A fresh directory per test, removed afterwards."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dorvane-test-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def touch(self, *parts):
        p = self.path(*parts)
        with open(p, "wb") as f:
            f.write("x")
        return p


class Rebinding(object):
    """Rebinds module attributes for the duration of a with block."""

    def __init__(self, module, **names):
        self.module, self.names, self.saved = module, names, {}

    def __enter__(self):
        for name, value in self.names.items():
            self.saved[name] = getattr(self.module, name, Rebinding)
            setattr(self.module, name, value)
        return self

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            if value is Rebinding:
                delattr(self.module, name)
            else:
                setattr(self.module, name, value)
        return False


def last_entry(exc_info):
    """The innermost traceback entry that belongs to dorvane."""
    import traceback
    entries = [e for e in traceback.extract_tb(exc_info[2]) if e[0] == "dorvane"]
    return entries

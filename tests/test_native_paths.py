# -*- coding: utf-8 -*-
"""The path queries that make their system calls themselves: while every
binding the standard steps reach is untouched they must answer, fail and use
the file system exactly as those steps do, and rebinding any one of those
bindings must bring the steps back."""
import errno
import genericpath
import os
import posixpath
import re
import subprocess
import sys
import types
import unittest

import dorvane
from ondrel import ustream

from support import PY3, Rebinding, TempDirTest, as_str, cwd, last_entry

NATIVE = ["exists", "lexists", "isfile", "isdir", "islink", "getsize", "abspath", "listdir"]


def module_copy(module, **changes):
    """A module object equal to `module` in everything but identity."""
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(module.__dict__)
    copy.__dict__.update(changes)
    return copy


def outcome(f, *args):
    """What a caller can see of a call: the answer and its type, or the
    exception with its arguments, file name and dorvane's traceback entries
    (by function: their lines are those of our C++ source)."""
    try:
        answer = f(*args)
    except Exception as e:
        return ("raised", type(e), e.args, getattr(e, "filename", None),
                [entry[2].split(" (")[0] for entry in last_entry(sys.exc_info())])
    kinds = [type(a) for a in answer] if isinstance(answer, (list, tuple)) else None
    return ("answered", type(answer), answer, kinds)


def literal_steps():
    """The module's `os` replaced by an equal module: every fast path
    declines, and the steps run with the very same functions."""
    return Rebinding(dorvane, os=module_copy(os))


class SameAsTheSteps(TempDirTest):
    def setUp(self):
        TempDirTest.setUp(self)
        self.file = self.write(as_str(u"caf\xe9 file"), b"12345")
        self.sub = self.path("sub")
        os.mkdir(self.sub)
        os.symlink(self.file, self.path("link"))
        os.symlink(self.path("nowhere"), self.path("dangling"))
        self.write("sub/one", b"")
        # A name no strict UTF-8 reading accepts: 2.7 refuses it, 3.x escapes it.
        open(os.path.join(self.sub.encode("ascii") if PY3 else self.sub, b"bad\xff"), "wb").close()

    def arguments(self):
        text = (lambda s: s) if PY3 else (lambda s: s.decode("utf-8"))
        raw = (lambda s: s.encode("utf-8", "surrogateescape")) if PY3 else (lambda s: s)
        names = [self.file, self.sub, self.path("link"), self.path("dangling"), self.path("missing"),
                 self.dir + "//sub/./../sub/", "sub", "./sub/../link", "", "missing"]
        found = []
        for name in names:
            found += [text(name), raw(name), ustream(name)]
        return found + [self.path("a\0b"), raw(self.path("x")) + b"\xff", [self.dir, "sub"], 7, None]

    def test_every_answer_and_failure_is_the_steps_own(self):
        with cwd(self.dir):
            for name in NATIVE:
                f = getattr(dorvane, name)
                for argument in self.arguments():
                    fast = outcome(f, argument)
                    with literal_steps():
                        steps = outcome(f, argument)
                    self.assertEqual(fast, steps, (name, argument))

    def test_join(self):
        parts = [u"", u"/", u"a", u"a/", u"/b", u"caf\xe9", b"x", b"y/" + b"\xff", ustream(u"u"),
                 [u"p", u"/q"], 3]
        for head in parts:
            for tail in parts:
                fast = outcome(dorvane.join, head, tail)
                with literal_steps():
                    self.assertEqual(fast, outcome(dorvane.join, head, tail), (head, tail))
        absolute = ustream(u"/abs")
        self.assertIsNot(dorvane.join(u"a", absolute), absolute)  # a new ustream, as ustream(answer) makes

    def test_abspath_normalises_as_the_steps_do(self):
        os.makedirs(self.path("a", "b"))
        pieces = ["", ".", "..", "a", "b", "a/b", "a//b/"]
        forms = [p + "/" + q + "/" + r for p in pieces for q in pieces for r in pieces]
        for directory in ("/", self.dir, self.path("a", "b")):
            with cwd(directory):
                for form in forms + ["/" + f for f in forms] + ["//" + f for f in forms] + ["///a"]:
                    if os.path.exists(form):
                        fast = dorvane.abspath(form)
                        with literal_steps():
                            self.assertEqual(fast, dorvane.abspath(form), (directory, form))


def spy(original, calls):
    def recording(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)
    return recording


def recording_copy(module, inner, calls):
    """A copy of `module` whose function at the dotted path `inner` records."""
    head, _, rest = inner.partition(".")
    value = getattr(module, head)
    return module_copy(module, **{head: recording_copy(value, rest, calls) if rest else spy(value, calls)})


class EachBindingBringsTheStepsBack(TempDirTest):
    """Replaces one binding at a time by an equal one that records its use."""

    def chain(self, name):
        """(owner, attribute, what records in a module put there) for every
        binding the steps of `name` read."""
        cwd_name = "getcwd" if PY3 else "getcwdu"
        own = [(posixpath, name, None), (dorvane, "os", "path." + name), (os, "path", name)]
        if name == "listdir":
            own = [(os, "listdir", None), (dorvane, "os", "listdir"), (os, "path", "exists")]
        query = {"exists": [(os, "stat", None), (genericpath, "os", "stat")], "lexists": [(os, "lstat", None)],
                 "isfile": [(os, "stat", None)], "isdir": [(os, "stat", None)], "islink": [(os, "lstat", None)],
                 "getsize": [(genericpath, "os", "stat")], "listdir": [], "join": [],
                 "abspath": [(os, cwd_name, None), (posixpath, "os", cwd_name)] + [
                     (posixpath, helper, None) for helper in ("normpath", "isabs", "join")
                     if helper in posixpath.abspath.__code__.co_names]}[name]
        guard = [(dorvane, "exists", None), (posixpath, "exists", None)]
        return [(dorvane, "ustream", None)] + own + query + (guard if name not in ("exists", "lexists", "join") else [])

    def test_rebinding_any_binding(self):
        arguments = {"listdir": (self.dir,), "join": (self.dir, "x"), "abspath": ("x",)}
        self.touch("x")
        with cwd(self.dir):
            for name in NATIVE + ["join"]:
                args = arguments.get(name, (self.path("x"),))
                expected = getattr(dorvane, name)(*args)
                for owner, attribute, inner in self.chain(name):
                    calls = []
                    original = getattr(owner, attribute)
                    replacement = recording_copy(original, inner, calls) if inner else spy(original, calls)
                    with Rebinding(owner, **{attribute: replacement}):
                        self.assertEqual(getattr(dorvane, name)(*args), expected)
                    self.assertTrue(calls, "%s: %s.%s rebound, yet not called" % (name, owner.__name__, attribute))

    def test_replaced_code(self):
        def refuse(path):
            raise LookupError(path)
        self.touch("x")
        saved = genericpath.isfile.__code__
        genericpath.isfile.__code__ = refuse.__code__
        try:
            self.assertRaises(LookupError, dorvane.isfile, self.path("x"))
        finally:
            genericpath.isfile.__code__ = saved
        self.assertTrue(dorvane.isfile(self.path("x")))


class SameSystemCalls(TempDirTest):
    CHILD = r"""
import dorvane, os, sys, types
def literal():
    copy = types.ModuleType("os")
    copy.__dict__.update(os.__dict__)
    dorvane.os = copy
d = sys.argv[1]
calls = [lambda: dorvane.exists(d + "/f"), lambda: dorvane.lexists(d + "/l"), lambda: dorvane.isfile(d + "/f"),
         lambda: dorvane.islink(d + "/l"), lambda: dorvane.getsize(d + "/f"), lambda: dorvane.abspath("f"),
         lambda: dorvane.listdir(d), lambda: dorvane.isdir(d + "/missing")]
os.chdir(d)
for round in ("warm", "fast", "literal"):
    if round == "literal":
        literal()
    for i, c in enumerate(calls):
        os.path.exists("/%s-%d" % (round, i))
        try:
            c()
        except OSError:
            pass
os.path.exists("/end")
"""

    def test_fast_and_literal_make_the_same_calls(self):
        try:
            subprocess.check_call(["strace", "-o", os.devnull, "true"])
        except (OSError, subprocess.CalledProcessError):
            raise unittest.SkipTest("strace cannot trace here (scripts/install-deps installs it)")
        self.touch("f")
        os.symlink("f", self.path("l"))
        log = self.path("trace")
        code = self.CHILD
        env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ""))
        subprocess.check_call(["strace", "-qq", "-o", log, "-e",
                               "trace=stat,lstat,newfstatat,statx,openat,getdents64,getcwd,close",
                               sys.executable, "-c", code, self.dir], env=env)
        with open(log) as trace:
            lines = [re.sub(r"0x[0-9a-f]+", "0x", l.split(" = ")[0]) for l in trace.read().splitlines()]

        def between(start, end):
            first = [i for i, l in enumerate(lines) if '"%s"' % start in l][0]
            last = [i for i, l in enumerate(lines) if '"%s"' % end in l][0]
            return lines[first + 1:last]
        fast = between("/fast-0", "/literal-0")
        literal = between("/literal-0", "/end")
        self.assertEqual([l.replace("/fast-", "/literal-") for l in fast], literal)
        self.assertTrue(any("getdents64" in l for l in fast) and any("getcwd" in l for l in fast), fast)


@unittest.skipUnless(PY3, "audit hooks came with 3.8")
class AuditedLikeTheSteps(TempDirTest):
    def test_listdir_raises_the_same_audit_event(self):
        lines = self.child("""
            import dorvane, os, sys, types
            sys.addaudithook(lambda event, args: event == "os.listdir" and print(event, args))
            dorvane.listdir(sys.argv[1])
            copy = types.ModuleType("os")
            copy.__dict__.update(os.__dict__)
            dorvane.os = copy
            dorvane.listdir(sys.argv[1])
            """, [self.dir])
        self.assertEqual(lines, ["os.listdir (%r,)" % self.dir] * 2)


if __name__ == "__main__":
    unittest.main()

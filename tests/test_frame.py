# -*- coding: utf-8 -*-
"""Import, attributes, call conventions, name lookup and traceback entries."""
import codecs
import os
import platform
import sys
import traceback
import unittest

import dorvane
import ondrel

from support import BUILD, PY3, FakeOs, Rebinding, TempDirTest, Test, py2_only

try:
    import builtins
except ImportError:
    import __builtin__ as builtins


class AttributesTest(Test):
    def test_module_attributes(self):
        self.assertEqual((dorvane.__console__, dorvane.__system__),
                         (sys.getfilesystemencoding(), platform.system().lower()))
        self.assertIs(dorvane.NoneType, type(None))
        self.assertIs(dorvane.__builtins__, builtins)
        for name in ["os", "sys", "zlib", "base64", "codecs", "shutil", "tempfile", "platform"]:
            self.assertIs(getattr(dorvane, name), sys.modules[name])
        self.assertTrue(issubclass(ondrel.StreamError, EnvironmentError))
        for name in ["StreamError", "bstream", "ustream", "fstream", "pstream"]:
            self.assertIs(getattr(dorvane, name), getattr(ondrel, name))
        for name in ["__test__", "arg", "err"]:  # initialisation leftovers
            self.assertFalse(hasattr(dorvane, name), name)
        for name in ["exists", "getcwd", "join", "normpath", "split"]:
            f = getattr(dorvane, name)
            self.assertEqual((f.__name__, f.__module__), (name, "dorvane"))
            self.assertIsNone(f.__self__)

    def test_search_function_object(self):
        # Catch the function as registration hands it over.
        lines = self.child("""
            import codecs, sys, traceback
            caught = []
            real = codecs.register
            codecs.register = lambda f: (caught.append(f), real(f))[1]
            import dorvane
            f = caught[0]
            print('%s %s %s' % (f.__name__, f.__doc__, f.__module__))
            print('%s %s %s' % (f('cp65001') == codecs.lookup('UTF-8'), f('latin-1'), f('CP65001')))
            class C(object):
                g = f
            print('%s %s %s' % (type(C.g).__name__, getattr(C.g, 'im_self', None), C().g() is None))
            for args, dorvane.codecs in (((), codecs), (('cp65001',), None)):
                try:
                    f(*args)
                except (TypeError, AttributeError) as e:
                    print('%s %s' % (e, traceback.extract_tb(sys.exc_info()[2])[-1][2]))
            """)
        # A plain function: a method once it is a class attribute (3.x has no unbound methods).
        method = "function" if PY3 else "instancemethod"
        self.assertEqual(lines[:3], ["lambda1 None dorvane", "True None None", method + " None True"])
        missing = "lambda1() " if PY3 else "lambda1() takes exactly one argument (0 given) "
        self.assertTrue(lines[3].startswith(missing), lines[3])
        self.assertIn(" dorvane.lambda1", lines[4])

    def test_platform_answer_without_a_processor_query(self):
        # platform.system()'s first answer forks a shell for `uname -p`,
        # which alone costs more than the rest of the import; a changed
        # answer stands.
        cases = [("", os.uname()[0].lower() + " []"), ("platform.system = lambda: 'Plan9'", "plan9")]
        if not PY3:  # 2.7's cache is a plain tuple
            cases.append(("platform._uname_cache = ('Plan9', '', '', '', '', '')", "plan9"))
        for setup, expected in cases:
            lines = self.child("import os, platform\n"
                               "commands = []\n"
                               "real_popen = os.popen\n"
                               "os.popen = lambda c, *rest: (commands.append(c), real_popen(c, *rest))[1]\n"
                               "%s\n"
                               "import dorvane\n"
                               "print('%%s %%s' %% (dorvane.__system__, commands))\n" % setup)
            self.assertTrue(lines[0].startswith(expected), (setup, lines))


class ImportTest(TempDirTest):
    @py2_only  # 3.x decodes the command line itself
    def test_argv(self):
        # Under the C locale every non-ASCII byte fails the file-system
        # encoding; here even the directory and the script's name do.
        here = self.path("caf\xc3\xa9 dir")
        os.mkdir(here)
        script = os.path.join(here, "sh\xc3\xb6w.py")
        with open(script, "w") as f:
            f.write("import dorvane\nfor a in dorvane.argv: print type(a).__name__, repr(unicode(a))\n")
        os.symlink(script, os.path.join(here, "link.py"))
        args = ["plain", "caf\xc3\xa9", "\xff", "a\xffb\xc3\xa9"]
        lines = self.child(None, ["link.py"] + args, cwd=here, LC_ALL="C")
        self.assertEqual(lines, ["ustream " + repr(u) for u in [
            os.path.realpath(script).decode("utf-8"),  # resolved from the bytes
            u"plain", u"caf\xe9",                     # strictly, then as UTF-8
            u"\ufffd", u"a\ufffdb\ufffd\ufffd"]])  # the locale's encoding, unreadable replaced
        # Read from standard input: the directory, or the directory and "-".
        for locale, args, first in (("C.UTF-8", ["-", "\xff"], [u"/-", u"\ufffd"]), ("C", [], [u""])):
            lines = self.child(None, args, cwd=here, LC_ALL=locale,
                               stdin="import dorvane\nprint map(unicode, dorvane.argv)\n")
            self.assertEqual(lines, [repr([os.path.realpath(here).decode("utf-8") + first[0]] + first[1:])])

    def test_failed_import_leaves_no_module(self):
        built = [n for n in os.listdir(BUILD) if n.startswith("dorvane.") and n.endswith(".so")]
        os.symlink(os.path.join(BUILD, built[0]), self.path(built[0]))  # 3.x tags the name
        lacking = "open('ondrel.py', 'w').write('StreamError = bstream = ustream = fstream = None')"
        cases = [("", self.dir, "ImportError ondrel module is missed"),
                 ("del sys.argv", BUILD, "AttributeError 'module' object has no attribute 'argv'"),
                 ("sys.argv = []", BUILD, "IndexError list index out of range"),
                 # Last: the ondrel.py it leaves in the working directory shadows the real one.
                 (lacking, self.dir, "AttributeError 'module' object has no attribute 'pstream'")]
        for setup, pythonpath, error in cases:
            lines = self.child("""
                import sys, traceback
                %s
                try:
                    import dorvane
                except Exception as e:
                    print('%%s %%s' %% (type(e).__name__, e))
                    print('dorvane' in sys.modules)
                    print(traceback.extract_tb(sys.exc_info()[2])[-1][2])
                """ % setup, pythonpath=pythonpath, cwd=self.dir)
            if PY3:  # the interpreter's own wording: the type and the name it missed
                kind, _, missed = error.partition(" ")
                self.assertTrue(lines[0].startswith(kind + " ") and missed.split()[-1] in lines[0], lines)
                self.assertEqual(lines[1], "False")
            else:
                self.assertEqual(lines[:2], [error, "False"])
            self.assertTrue(lines[2].startswith("init dorvane"), lines)


class ConventionsTest(Test):
    def test_argument_errors(self):
        J = "join() takes exactly 2 positional arguments (%d given)"
        # None: called without **; {}: with an empty one.
        cases = [(J % 1, dorvane.join, ("a",), None), (J % 3, dorvane.join, ("a", "b", "c"), None),
                 (J % 0, dorvane.join, (), {"tail": "b"}),  # the first missing position counts
                 (J % 1, dorvane.join, ("a",), {}),
                 ("exists() takes exactly one argument (0 given)", dorvane.exists, (), None),
                 ("getcwd() takes no arguments (1 given)", dorvane.getcwd, ("x",), None),
                 ("join() got multiple values for keyword argument 'head'", dorvane.join, ("a", "b"),
                  {"head": "c"}),
                 ("join() got an unexpected keyword argument 'body'", dorvane.join, ("a", "b"), {"body": "c"}),
                 ("join() keywords must be strings", dorvane.join, ("a", "b"), {u"head": "c"}),
                 ("exists() takes no keyword arguments", dorvane.exists, (), {"path": "x"}),
                 ("tmpfstream() takes at most 4 positional arguments (5 given)", dorvane.tmpfstream,
                  (1, 2, 3, 4, 5), None),
                 ("tmpname() keywords must be strings", dorvane.tmpname, (), {3: "x"}),
                 ("tmpdir() got an unexpected keyword argument 'sufix'", dorvane.tmpdir, (),
                  {"sufix": "x"})]
        for text, f, args, kwargs in cases:
            caught = self.raised(TypeError, lambda: f(*args) if kwargs is None else f(*args, **kwargs))
            if not PY3:
                self.assertEqual(str(caught), text)
            elif all(isinstance(k, str) for k in kwargs or ()):  # else the interpreter refuses before the call
                self.assertIn(f.__name__ + "()", str(caught))
        self.assertEqual(dorvane.join(tail="b", head="a"), u"a/b")
        # A unicode key is found by the per-parameter lookup.
        self.assertEqual(dorvane.join("a", **{u"tail": "b"}), u"a/b")

    def test_builtins_are_the_fallback_and_truth_failure_propagates(self):
        with Rebinding(dorvane, os=None), Rebinding(builtins, os=FakeOs(exists=lambda t: "yes " + t)):
            del dorvane.os
            self.assertIs(dorvane.exists("q"), True)

        class NoTruth(object):
            def __nonzero__(self):
                raise ZeroDivisionError("no truth")
            __bool__ = __nonzero__

        with Rebinding(dorvane, os=FakeOs(exists=lambda text: NoTruth())):
            self.assertRaises(ZeroDivisionError, dorvane.exists, "x")

    def test_rebinding_takes_effect_on_next_call_and_deleting_is_a_name_error(self):
        seen = []

        def recording(value):
            seen.append(value)
            return ondrel.ustream(value)

        with Rebinding(dorvane, ustream=recording):
            dorvane.join("a", "b")
        self.assertEqual(seen, ["a", "b", u"a/b"])
        dorvane.join("a", "b")
        self.assertEqual(len(seen), 3)
        with Rebinding(dorvane, ustream=None):
            del dorvane.ustream
            self.assertEqual(self.raised(NameError, dorvane.exists, "/").args, ("ustream",))
        # The callee's own traceback entries are kept below ours.
        with Rebinding(dorvane, ustream=lambda value: {}[value]):
            try:
                dorvane.normpath("p")
            except KeyError:
                names = [e[2] for e in traceback.extract_tb(sys.exc_info()[2])]
        self.assertTrue(names[-2].startswith("dorvane.normpath"), names)
        self.assertEqual(names[-1], "<lambda>")

if __name__ == "__main__":
    unittest.main()

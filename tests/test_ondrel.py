# -*- coding: utf-8 -*-
"""ondrel's text and byte streams: ustream and bstream."""
import base64
import posixpath
import sys
import unittest
import zlib

from ondrel import StreamError, bstream, ustream

from support import BYTES, PY3, TEXT, Test, as_str

FS_ENCODING = sys.getfilesystemencoding() or "ascii"
UTF8 = FS_ENCODING.lower().replace("-", "") in ("utf8", "utf")
needs_utf8 = unittest.skipUnless(UTF8, "file-system encoding is %s, not UTF-8" % FS_ENCODING)
E = as_str(u"\xe9")  # as 2.7 code spells it in a str literal: its UTF-8 bytes
encodebytes = getattr(base64, "encodebytes", None) or base64.encodestring


class UstreamConversionTest(Test):
    @needs_utf8
    def test_str_goes_through_the_file_system_encoding_both_ways(self):
        u = ustream(u"caf\xe9".encode(FS_ENCODING))
        self.assertIsInstance(u, TEXT)
        self.assertEqual(u._unicode_, u"caf\xe9")
        self.assertEqual(ustream(bstream(b"caf\xc3\xa9"))._unicode_, u"caf\xe9")
        if PY3:
            return  # str is the text itself, and bytes decode as os.fsdecode does (test_python3)
        out = str(u)
        self.assertIs(type(out), str)
        self.assertEqual(out, "caf\xc3\xa9")
        for raw in ("\xff", "ok\xc3", "\xc3\x28"):  # raised, never replaced
            self.assertRaises(UnicodeDecodeError, ustream, raw)

    def test_text_lists_and_tuples(self):
        u = ustream(u"a\u20acb")
        self.assertEqual([type(u), type(u._unicode_), u._unicode_], [ustream, TEXT, u"a\u20acb"])
        self.assertEqual(ustream(ustream(u"x\u20ac"))._unicode_, u"x\u20ac")
        self.assertEqual(ustream()._unicode_, u"")
        # Lists and tuples join as posixpath.join does.
        for parts in (["a", "b", "c"], ["a/", "b"], ["", "a"], ["a", ""], ["a", "/abs", "c"],
                      ["/r", u"x", "/y/", "z"], [], [u"only"], ["a//", "b"]):
            expected = posixpath.join(*parts) if parts else u""
            self.assertEqual(ustream(parts)._unicode_, TEXT(expected), parts)
            self.assertEqual(ustream(tuple(parts))._unicode_, TEXT(expected), parts)
        self.assertEqual(ustream([ustream(u"d\xe9"), u"f"])._unicode_, u"d\xe9/f")

    def test_other_types_raise_type_error_naming_the_type(self):
        for bad, name in ((5, "not int"), (None, "not NoneType"), ({}, "not dict"), (3.5, "not float"),
                          (["a", 7], "int")):
            caught = self.raised(TypeError, lambda: ustream(bad))
            self.assertIn(name, str(caught))
        for text in (u"abc", u"it's", u"caf\xe9\n"):
            r = repr(ustream(text))
            self.assertEqual(r, "ustream(%r)" % text)
            self.assertEqual(eval(r, {"ustream": ustream})._unicode_, text)

    def test_a_call_of_the_type_is_its_constructor(self):
        # 3.9 on, ustream(x) skips the argument tuple; __new__ still takes it.
        class Sub(ustream):
            pass

        def outcome(make, *args, **kwargs):
            try:
                made = make(*args, **kwargs)
                return type(made).__name__, made._unicode_
            except Exception as e:
                return type(e).__name__, str(e).replace("__new__", "ustream")

        u = ustream(u"u")
        for args, kwargs in (((), {}), ((u"a",), {}), ((b"b",), {}), ((["c", u"d/", "e"],), {}),
                             ((u,), {}), ((5,), {}), ((["x", None],), {}), ((u"a", u"b"), {}),
                             ((), {"x": u"a"}), ((u"a",), {"x": u"b"})):
            direct = outcome(ustream, *args, **kwargs)
            self.assertEqual(direct, outcome(ustream.__new__, ustream, *args, **kwargs), (args, kwargs))
            self.assertEqual(direct[1], outcome(Sub, *args, **kwargs)[1], (args, kwargs))
        self.assertIs(ustream(u), u)

    @needs_utf8
    def test_comparison_and_containment_decode_str(self):
        u = ustream(u"caf\xe9")
        for text in (u"abc", "abc", u"caf\xe9"):
            self.assertEqual(hash(ustream(text)), hash(text))
        self.assertIn(ustream("key"), {"key": 1})
        self.assertIs(u == u"caf\xe9" and not u == 5, True)
        if PY3:
            return  # str holds no bytes there
        # Latin-1 bytes are another text; undecodable bytes are simply unequal.
        for result in (u == "caf\xc3\xa9", "caf\xc3\xa9" == u, not u != "caf\xc3\xa9", u != "caf\xe9",
                       not u == "\xff", u != "\xff", "\xc3\xa9" in u, u in ["x", "caf\xc3\xa9"],
                       "\xc3\xa8" not in u):
            self.assertIs(result, True)

    @needs_utf8
    def test_operations_give_ustream(self):
        u = ustream(u"d\xe9")
        v, s = u, "pre/"
        v += "/f"
        s += u
        w = ustream(u"a\xe9b\xe9c")
        cases = [(u + "/" + E, u"d\xe9/\xe9"), (E + "/" + u, u"\xe9/d\xe9"),
                 (u + u"x", u"d\xe9x"), (u"x" + u, u"xd\xe9"), (u + u, u"d\xe9d\xe9"),
                 (v, u"d\xe9/f"), (u, u"d\xe9"), (s, u"pre/d\xe9"),
                 (w.replace(E, u"-"), u"a-b-c"), (w.replace(u"\xe9", "", 1), u"ab\xe9c"),
                 (w.remove(E), u"abc"), (ustream(u"aaa").remove(u"a"), u""),
                 (ustream(u"%s/%d") % (u"x", 3), u"x/3")]
        if not PY3:  # bytes and text do not add up on 3.x
            cases.append((bstream("b") + u, u"bd\xe9"))
        for result, text in cases:
            self.assertIs(type(result), ustream, text)
            self.assertEqual(result._unicode_, text)
        self.assertRaises(TypeError, lambda: u + 5)


class BstreamTest(Test):
    def test_constructor_accepts_bytes_buffers_and_unicode(self):
        window = memoryview(b"hello")[1:4] if PY3 else buffer("hello", 1, 3)  # 2.7: the old buffer type
        for given, expected in ((b"abc", b"abc"), (bytearray(b"\x00\xff"), b"\x00\xff"),
                                (window, b"ell"), (u"caf\xe9", b"caf\xc3\xa9")):
            self.assertIs(type(bstream(given)), bstream)
            self.assertEqual(bstream(given), expected)
        self.assertIsInstance(bstream(b"x"), BYTES)
        self.assertEqual(bstream(), b"")
        for bad in (5, None, [1], object()):
            self.assertRaises(TypeError, bstream, bad)
        for data in (b"abc", b"it's\n\x00"):
            self.assertEqual(repr(bstream(data)), "bstream(%r)" % data)

    def test_base64_and_zlib_reach_their_codecs(self):
        data = bytes(bytearray(range(256))) * 3
        for encode, decode, standard, corrupt in (
                ("base64_encode", "base64_decode", encodebytes, b"ab$d"),
                ("zlib_encode", "zlib_decode", zlib.compress, b"not zlib at all")):
            caught = self.raised(StreamError, getattr(bstream(corrupt), decode))
            self.assertEqual((caught.errno, type(caught.strerror), caught.strerror != ""), (5, TEXT, True))
            encoded = getattr(bstream(data), encode)()
            self.assertIs(type(encoded), bstream)
            self.assertEqual(getattr(bstream(standard(data)), decode)(), data)
            decoded = getattr(encoded, decode)()
            self.assertIs(type(decoded), bstream)
            self.assertEqual(decoded, data)
        self.assertEqual(bstream(data).base64_encode(), encodebytes(data))
        big = b"spam and eggs " * 10000
        self.assertLess(len(bstream(big).zlib_encode(9)), len(bstream(big).zlib_encode(0)))
        self.assertRaises(ValueError, bstream(b"x").zlib_encode, 10)

if __name__ == "__main__":
    unittest.main()

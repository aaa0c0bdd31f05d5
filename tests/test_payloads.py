"""The Windows tool files behind magic: their attribute texts decode to the
committed files. (`make payloads-check` checks the files themselves, and
`make wine-check` runs them under Wine.)"""
import base64
import os
import unittest
import zlib

import dorvane

from support import ROOT

# Attribute and file, in the order the module binds them.
ATTRIBUTES = [("_ZLIB_LIB_", "zlib1.dll"), ("_FILE_EXE_", "file.exe"),
              ("_MIME_LIB_", "mime.dll"), ("_MAGIC_LIB_", "magic1.dll"),
              ("_REGEX_LIB_", "regex2.dll")]


def payload(name, directory=os.path.join(ROOT, "payloads")):
    return open(os.path.join(directory, name), "rb").read()


class AttributeTextTest(unittest.TestCase):
    def test_each_attribute_decodes_to_its_file(self):
        for attribute, name in ATTRIBUTES:
            text = getattr(dorvane, attribute)
            self.assertIs(type(text), str, attribute)
            self.assertEqual(zlib.decompress(base64.b64decode(text)), payload(name), name)


if __name__ == "__main__":
    unittest.main()

# -*- coding: utf-8 -*-
"""A short tour of dorvane: run with `make tour`."""
import os
import shutil
import tempfile

import dorvane
from ondrel import bstream, fstream, pstream, ustream


def show(expression, value):
    print "%-44s -> %r" % (expression, value)


print "dorvane %s on %s, file names in %s" % (dorvane.__version__, dorvane.__system__,
                                              dorvane.__console__)
print
print "Path manipulation"
show("join('/srv', 'data')", dorvane.join("/srv", "data"))
show("join('/srv', ['a', 'b', 'c.txt'])", dorvane.join("/srv", ["a", "b", "c.txt"]))
show("split('/srv/data/report.txt')", dorvane.split("/srv/data/report.txt"))
show("splitext('archive.tar.gz')", dorvane.splitext("archive.tar.gz"))
show("normpath('/srv//data/../logs/.')", dorvane.normpath("/srv//data/../logs/."))
show("getcwd()", dorvane.getcwd())
show("argv", dorvane.argv)

work = tempfile.mkdtemp(prefix="dorvane-tour-")
try:
    print
    print "Existence tests in", work
    name = dorvane.join(work, u"caf\xe9 notes.txt")
    show("exists(name) before writing", dorvane.exists(name))
    with fstream(name, "w") as out:
        out.write("written through ondrel.fstream\n" * 3)
    show("exists(name) after writing", dorvane.exists(name))
    os.symlink(dorvane.join(work, "nowhere")._unicode_, os.path.join(work, "dangling"))
    link = dorvane.join(work, "dangling")
    show("exists(dangling link), lexists", (dorvane.exists(link), dorvane.lexists(link)))

    print
    print "Streams"
    packed = bstream("dorvane " * 1000).zlib_encode()
    show("len of zlib_encode of 8000 bytes", len(packed))
    show("base64 first line", packed.base64_encode().splitlines()[0][:40] + "...")
    show("round trip intact", packed.base64_encode().base64_decode().zlib_decode()
         == "dorvane " * 1000)
    gz = dorvane.join(work, "notes.gz")
    with fstream(gz, "wb", "gz") as out:
        out.write(open(name._unicode_, "rb").read())
    with fstream(gz, "rb", "gzip") as source:
        show("gzip round trip through fstream", source.read()[:30])
    mime = pstream(["/usr/bin/file", "--brief --mime-type", gz]).execute()
    show("file --mime-type of the .gz", mime.strip())
finally:
    shutil.rmtree(work)

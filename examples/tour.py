# -*- coding: utf-8 -*-
"""A short tour of dorvane: run with `make tour`."""
from __future__ import print_function

import dorvane


def show(expression, value):
    print("  %-46s -> %r" % (expression, value))


print("dorvane %s on %s, file names in %s" % (dorvane.__version__, dorvane.__system__,
                                              dorvane.__console__))
show("appdir()", dorvane.appdir())
show("argv", dorvane.argv)

print("\nPath manipulation (no file needs to exist)")
show("join('/srv', 'data')", dorvane.join("/srv", "data"))
show("join('/srv', ['a', 'b', 'c.txt'])", dorvane.join("/srv", ["a", "b", "c.txt"]))
show("split('/srv/data/report.txt')", dorvane.split("/srv/data/report.txt"))
show("splitext('archive.tar.gz')", dorvane.splitext("archive.tar.gz"))
show("normpath('/srv//data/../logs/.')", dorvane.normpath("/srv//data/../logs/."))

work = dorvane.tmpdir(prefix="dorvane-tour-")
print("\nA temporary directory:", work)
name = dorvane.join(work, u"caf\xe9 notes.txt")
path, stream = dorvane.tmpfstream(".txt", "notes-")
with stream:
    stream.write(b"Words written through a temporary fstream.\n" * 200)
dorvane.move(path, name)
show("tmpfstream() wrote, move() put it at", dorvane.basename(name))
show("listdir(work)", dorvane.listdir(work))
show("isfile(name), isdir(work)", (dorvane.isfile(name), dorvane.isdir(work)))
show("getsize(name)", dorvane.getsize(name))
show("relpath(name, work)", dorvane.relpath(name, work))

print("\nGuarded queries refuse what is missing")
try:
    dorvane.getsize(dorvane.join(work, "missing.txt"))
except OSError as e:
    show("getsize(missing) raises", e)

print("\nCompression round trips, every filter")
for filter in ["gzip", "bzip2", "lzop", "xz", "lzma"]:
    packed = dorvane.join(work, "notes." + filter)
    dorvane.compress(name, packed, filter)
    back = dorvane.join(work, "back." + filter)
    dorvane.decompress(packed, back, filter)
    show("%s: %d -> %d bytes, back intact" % (filter, dorvane.getsize(name),
                                              dorvane.getsize(packed)),
         dorvane.cat(back) == dorvane.cat(name))

print("\nMIME types from the file command")
show("magic(name)", dorvane.magic(name))
show("magic('notes.gzip')", dorvane.magic(dorvane.join(work, "notes.gzip")))
show("magic('notes.gzip', zlib=True)", dorvane.magic(dorvane.join(work, "notes.gzip"), True))
show("screen(\"it's here\")", dorvane.screen("it's here"))

for entry in dorvane.listdir(work):
    dorvane.remove(dorvane.join(work, entry))
dorvane.rmdir(work)
print()
show("exists(work) after cleaning up", dorvane.exists(work))

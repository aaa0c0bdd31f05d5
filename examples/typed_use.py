"""dorvane from typed Python 3 code.

`make stubs-check` runs mypy --strict over this file with the stubs in stubs/,
then runs it: each value passes through `exactly`, so mypy holds the stubs to
the types named here, and the run holds the built modules to the same types.
"""
import pathlib
import sys
from typing import Tuple, Type, TypeVar

import dorvane
from ondrel import StreamError, bstream, fstream, pstream, ustream

T = TypeVar("T")


def exactly(kind: Type[T], value: T) -> T:
    if type(value) is not kind:
        sys.exit("typed_use: %r is %s, the stubs say %s" % (value, type(value).__name__, kind.__name__))
    return value


def pair(value: Tuple[ustream, ustream]) -> Tuple[ustream, ustream]:
    exactly(tuple, value)
    return exactly(ustream, value[0]), exactly(ustream, value[1])


def main() -> None:
    work = exactly(ustream, dorvane.tmpdir(prefix="typed-use-"))
    try:
        notes = exactly(ustream, dorvane.join(work, "notes.txt"))
        with fstream(notes, "wb") as out:
            out.write("text goes in as UTF-8\n")
            out.write(b"bytes as they are\n")
            out.write(bytearray(b"and a bytearray\n"))
        content = exactly(bstream, dorvane.cat(notes))
        exactly(bstream, content.zlib_encode(9).zlib_decode())
        exactly(bstream, content.base64_encode().base64_decode())

        # Every form a path may take.
        packed = pathlib.Path(work) / "notes.xz"
        dorvane.compress(notes, packed, "xz")
        dorvane.decompress(str(packed).encode(), [work, "back.txt"], "xz")
        exactly(bool, dorvane.isfile((work, b"back.txt")))
        for name in exactly(list, dorvane.listdir(work.encode())):
            exactly(ustream, name)
        exactly(int, dorvane.getsize(packed))
        exactly(float, dorvane.getmtime(notes))
        exactly(bool, dorvane.exists(dorvane.join(work, "missing")))
        head, tail = pair(dorvane.split(notes))
        root, ext = pair(dorvane.splitext(tail))
        exactly(ustream, dorvane.relpath(notes, start=head))
        exactly(str, notes._unicode_)
        exactly(ustream, notes.replace("notes", "other").remove(".txt"))
        exactly(ustream, dorvane.magic(notes))

        path, stream = dorvane.tmpfstream(prefix="typed-", text=False, filter="gzip")
        with exactly(fstream, stream):
            stream.write(b"through gzip")
        exactly(ustream, path)
        exactly(ustream, stream.name)
        dorvane.remove(path)

        echo = exactly(bstream, pstream(["echo", dorvane.screen(notes)]).execute())
        assert echo == notes.encode() + b"\n", echo
        try:
            pstream("exit 3").execute()
        except StreamError as e:
            assert e.errno == 3, e
        try:
            dorvane.exists(3)  # type: ignore[arg-type]
        except TypeError:
            pass
    finally:
        for name in dorvane.listdir(work):
            dorvane.remove(dorvane.join(work, name))
        dorvane.rmdir(work)
    print("typed_use: every value has the type the stubs give it")


if __name__ == "__main__":
    main()

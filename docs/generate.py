"""Writes docs/reference.md and the type stubs (stubs/*.pyi) from the sources
and the built modules.

Run by `make docs` with the built modules on the path. Signatures come from
the rows of src/module/table.cpp, groups from the file each body lives in,
docstrings from the modules themselves. What each function raises beyond
argument conversion is kept below, read off the bodies; the generator stops
when a function is missing from it or a new one has no entry.

The stubs describe the modules on Python 3. dorvane's are made from the same
rows: parameters and defaults from the row, the result from its docstring's
`-> kind`, typed by the tables below, which must account for every parameter
name and kind in the rows. ondrel's members are typed below and must be
exactly those the built classes have. `--check-stubs` compares the committed
stubs with fresh ones instead of writing anything.
"""
import difflib
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "docs", "reference.md")
STUBS = os.path.join(ROOT, "stubs")

# Body file -> group title, in the order the groups are shown.
GROUPS = [
    ("src/paths/guarded.cpp", "Guarded path queries"),
    ("src/paths/manipulation.cpp", "Path manipulation"),
    ("src/fsops/operations.cpp", "File-system operations"),
    ("src/temp/temporary.cpp", "Temporary names, directories and streams"),
    ("src/content/filters.cpp", "Content: cat, compress, decompress"),
    ("src/platform/tools.cpp", "Platform: screen, appdir, magic"),
]

MISSING = "`OSError(2, 'No such file or directory', path)` when `%s` does not exist, before anything else"
# (what is raised, the functions whose bodies raise it), in the order shown.
RAISES = [
    (MISSING % "path", "abspath basename dirname realpath relpath listdir ismount islink isfile isdir "
     "isabs getsize getmtime getctime getatime remove unlink rmdir chroot chdir chmod chown magic"),
    (MISSING % "src" + " (`dest` is not tested)", "link copy move compress decompress"),
    ("`OSError` from the `os` function of the same name",
     "remove unlink rmdir chroot chdir chmod chown link symlink mkdir"),
    ("`TypeError` or `ValueError` for a number `int()` does not accept", "chmod chown"),
    ("`IOError`, `OSError` or `shutil.Error` from `shutil.%(name)s`", "copy move"),
    ("`OSError` from `os.listdir` (e.g. not a directory)", "listdir"),
    ("`OSError` from `os.getcwdu` (e.g. the current directory was removed)", "getcwd"),
    ("`OSError` from `tempfile.mkdtemp`", "tmpdir"),
    ("`StreamError(6, name)` for a filter that is not gzip/gz, bzip2/bz2, lzop/lzo, xz or lzma",
     "cat tmpfstream"),
    ("`StreamError(6, name)` for a filter that is not gzip/gz, bzip2/bz2, lzop/lzo, xz or lzma "
     "(None included)", "compress decompress"),
    ("`StreamError(5, 'path: reason')` for data the filter rejects", "cat decompress"),
    ("`IOError` when a file cannot be opened, read or written", "cat compress decompress tmpfstream"),
    ("`StreamError(1, answer)` when `file` answers something other than a MIME type; "
     "`StreamError(status, stderr)` when the command fails", "magic"),
    ("`UnboundLocalError` when `__system__` is neither 'linux' nor 'windows'", "appdir magic"),
    (None, "exists lexists split splitdrive splitext normpath normcase join tmpname screen"),
]
# Python 3 builds from the same sources; what each function does differently
# there, beyond what PYTHON3_ALL says of every one.
PYTHON3_ALL = (
    "On Python 3 (3.8 to 3.13): a path argument may be `str`, `bytes` (decoded as `os.fsdecode` "
    "does: undecodable bytes become lone surrogates, which every function encodes back unchanged, so "
    "there is no `UnicodeDecodeError`), an `os.PathLike` such as `pathlib.Path`, or a list of those. "
    "A `ustream` answer is a `str` subclass, a `bstream` answer a `bytes` subclass. The missing-path "
    "`OSError(2, ...)` is the same call, which Python 3 shows as `FileNotFoundError`. Argument errors "
    "are the interpreter's own `TypeError`s, with its texts. The module attribute `argv` holds "
    "`sys.argv` as the interpreter decoded it, with `argv[0]` made canonical; the payload attributes "
    "are `str`.")
PYTHON3 = {
    "cat": "returns a `bstream`, a `bytes` subclass.",
    "getcwd": "calls `os.getcwd()`, which answers `str`, where 2.7 calls `os.getcwdu()`.",
    "listdir": "the names are what `os.listdir` gives for a `str` path, each a `ustream`; a name that "
               "is not valid in the file-system encoding keeps its bytes as lone surrogates.",
    "tmpfstream": "the `fstream`'s `write` takes any bytes-like object and writes a `str` as UTF-8; "
                  "its `read` gives `bytes` in every mode.",
    "magic": "the output of `file` is decoded as paths are (lone surrogates for undecodable bytes).",
    "appdir": "the process id's text is `str(os.getpid())`, with no decoding step.",
    "join": "`str` and `bytes` mix (both are read as text first), where `os.path.join` refuses them.",
}
ONDREL_PYTHON3 = (
    "On Python 3, `ustream` is a `str` subclass and `bstream` a `bytes` subclass; their docstrings "
    "there name those types. `ustream` takes `bytes` (as `os.fsdecode` reads them) and `os.PathLike` "
    "besides `str` and lists, but its comparisons, `+`, `in`, `replace` and `remove` take `str` only, "
    "as `str`'s own do; `str()` of a `ustream` is the text. `fstream.read()` and `pstream.execute()` "
    "give `bstream`; `fstream.write()` takes any bytes-like object, and a `str` as UTF-8.")

DEFAULTS = {"empty_str": "''", "tmp_str": "'tmp'", "dot_str": "'.'", "none": "None",
            "true_": "True", "false_": "False"}


def fail(message):
    sys.exit("docs/generate.py: " + message)


def table():
    """(name, convention, [(parameter, default)], docstring's first line) for each row, in order."""
    with open(os.path.join(ROOT, "src/module/table.cpp")) as f:
        text = f.read()
    return [(name, convention, re.findall(r'\{"(\w+)", Default::(\w+)\}', params), head)
            for name, convention, params, head in re.findall(
                r'\{"(\w+)", Convention::(\w+), \{(.*)\},\s*\n\s*"([^"]*?)(?:\\n)?"', text)]


def table_rows():
    """(name, signature) for each row of the function table, in its order."""
    rows = []
    for name, convention, params, _ in table():
        parts = []
        for param, default in params:
            parts.append(param if default == "required" else "%s=%s" % (param, DEFAULTS[default]))
        if convention == "one":
            parts = ["path"]  # one positional argument, not by keyword
        rows.append((name, "%s(%s)" % (name, ", ".join(parts))))
    return rows


def body_files():
    """function name -> the file its DORVANE_FUNCTION body is in."""
    where = {}
    for folder, _, files in os.walk(os.path.join(ROOT, "src")):
        for file_name in sorted(files):
            path = os.path.join(folder, file_name)
            with open(path) as f:
                for name in re.findall(r"^DORVANE_FUNCTION\((\w+)\)", f.read(), re.M):
                    where[name] = os.path.relpath(path, ROOT)
    return where


def raises():
    by_name = {}
    for text, names in RAISES:
        for name in names.split():
            by_name.setdefault(name, []).append(text)
    return by_name


def method_docs(cls):
    for name in sorted(vars(cls)):
        doc = getattr(getattr(cls, name), "__doc__", None)
        if not name.startswith("__") and doc:
            yield name, doc


def render():
    import dorvane
    import ondrel
    rows, where, errors = table_rows(), body_files(), raises()
    names = [name for name, _ in rows]
    for label, extra in (("a body", set(names) - set(where)), ("a table row", set(where) - set(names)),
                         ("an error entry in docs/generate.py", set(names) - set(errors)),
                         ("a table row (it is in docs/generate.py)", set(errors) - set(names)),
                         ("a group in docs/generate.py", set(where.values()) - set(f for f, _ in GROUPS))):
        if extra:
            fail("without %s: %s" % (label, ", ".join(sorted(extra))))
    out = ["# Reference", "",
           "Generated by `make docs` (docs/generate.py) from the function table in "
           "src/module/table.cpp, the files the bodies live in and the modules' docstrings; "
           "do not edit by hand.", "",
           "## dorvane", "", dorvane.__doc__, "",
           "Every function converts its path arguments with the module's `ustream`, so any of "
           "them may raise `TypeError` (not str, unicode or a list of them) or "
           "`UnicodeDecodeError` (a str not in the file-system encoding), and `TypeError` for "
           "wrong arguments. Beyond that, each lists what it raises itself. A function shown "
           "as `name(path)` takes one positional argument.", "", PYTHON3_ALL, ""]
    for file_name, title in GROUPS:
        out += ["### %s" % title, "", "Bodies in `%s`." % file_name, ""]
        for name, signature in rows:
            if where[name] != file_name:
                continue
            out += ["#### `%s`" % signature, "", "```", getattr(dorvane, name).__doc__, "```", ""]
            texts = [text % {"name": name} for text in errors[name] if text]
            out += ["Raises: " + ("; ".join(texts) if texts else "nothing of its own") + ".", ""]
            if name in PYTHON3:
                out += ["On Python 3: " + PYTHON3[name], ""]
    unknown = set(PYTHON3) - set(names)
    if unknown:
        fail("Python 3 notes for functions not in the table: " + ", ".join(sorted(unknown)))
    out += ["## ondrel", "", "```", ondrel.__doc__, "```", "", ONDREL_PYTHON3, ""]
    for name in ("ustream", "bstream", "fstream", "pstream"):
        cls = getattr(ondrel, name)
        out += ["### `%s`" % name, "", "```", cls.__doc__, "```", ""]
        for method, doc in method_docs(cls):
            head, _, rest = doc.partition("\n\n")
            head, rest = (head, rest) if rest else (method, head)
            out += ["- `%s`: %s" % (head, rest.replace("\n", " ")), ""]
    # One text for both interpreters: Python 3 names the same base OSError.
    if not issubclass(ondrel.StreamError, EnvironmentError):
        fail("StreamError is no longer an EnvironmentError")
    out += ["### `StreamError`", "",
            "Subclass of `EnvironmentError` (`OSError` on Python 3), with `errno` and `strerror`; "
            "its meanings are listed in the module's description above.", ""]
    return "\n".join(out)

# Stub types. A path parameter takes what ustream() takes on Python 3.
STUB_HEAD = ('# Generated by `make docs` (docs/generate.py) from %s;\n'
             '# do not edit by hand. The modules as seen from Python 3.\n')
PATH_TYPES = ("_PathComponent = str | bytes | os.PathLike[str] | os.PathLike[bytes]\n"
              "_Path = _PathComponent | list[_PathComponent] | tuple[_PathComponent, ...]\n")
PARAMETER_TYPES = {"path": "_Path", "src": "_Path", "dest": "_Path", "head": "_Path", "tail": "_Path",
                   "start": "_Path", "suffix": "str", "prefix": "str", "filter": "str", "mode": "int",
                   "uid": "int", "gid": "int", "zlib": "bool", "text": "bool"}
# A docstring's `-> kind` as a type; the kinds that say too little are typed by name.
RESULT_TYPES = {"": "None", "ustream": "ustream", "bstream": "bstream", "bool": "bool", "float": "float",
                "int": "int"}
RESULTS_BY_NAME = {"listdir": "list[ustream]", "split": "tuple[ustream, ustream]",
                   "splitdrive": "tuple[ustream, ustream]", "splitext": "tuple[ustream, ustream]",
                   "tmpfstream": "tuple[ustream, fstream]"}
DORVANE_ATTRIBUTES = [("__version__", "float"), ("__system__", "str"), ("__console__", "str"),
                      ("__encoding__", "str"), ("__author__", "str"), ("__license__", "str"),
                      ("argv", "list[ustream]"), ("NoneType", "type[None]")]
ONDREL_NAMES = ["StreamError", "bstream", "fstream", "pstream", "ustream"]

# ondrel's classes: every public member the built class has, and nothing more.
ONDREL_HEAD = [
    "from _typeshed import ReadableBuffer",
    "from types import TracebackType",
    "from typing import SupportsIndex",
    "",
    "__version__: str",
    "",
    "_Text = str | bytes",
    "_Command = _Text | list[_Text] | tuple[_Text, ...]",
    "",
    "class StreamError(OSError): ...",
    "",
    "class _Copy:",
    "    def run(self) -> None: ...",
    "    def commit(self) -> None: ...",
]
ONDREL_CLASSES = [
    ("ustream", "str", "def __new__(cls, x: _Path = ...) -> ustream: ...", [
        ("_unicode_", "@property\ndef _unicode_(self) -> str: ..."),
        ("remove", "def remove(self, text: str) -> ustream: ..."),
        ("replace", "def replace(self, old: str, new: str, count: SupportsIndex = ...) -> ustream: ..."),
    ]),
    ("bstream", "bytes", "def __new__(cls, x: ReadableBuffer | str = ...) -> bstream: ...", [
        ("base64_decode", "def base64_decode(self) -> bstream: ..."),
        ("base64_encode", "def base64_encode(self) -> bstream: ..."),
        ("zlib_decode", "def zlib_decode(self) -> bstream: ..."),
        ("zlib_encode", "def zlib_encode(self, level: int = ...) -> bstream: ..."),
    ]),
    ("fstream", "", "def __new__(cls, path: _Path, mode: str = ..., filter: str | None = ...) -> fstream: ...", [
        ("close", "def close(self) -> None: ..."),
        ("closed", "@property\ndef closed(self) -> bool: ..."),
        ("copyfile", "@staticmethod\ndef copyfile(src: _Path, dest: _Path, src_filter: str | None = ...,\n"
                     "             dest_filter: str | None = ...) -> _Copy | None: ..."),
        ("filter", "@property\ndef filter(self) -> str | None: ..."),
        ("mode", "@property\ndef mode(self) -> str: ..."),
        ("name", "@property\ndef name(self) -> ustream: ..."),
        ("read", "def read(self) -> bstream: ..."),
        ("write", "def write(self, data: ReadableBuffer | str) -> None: ..."),
    ]),
    ("pstream", "", "def __new__(cls, command: _Command) -> pstream: ...", [
        ("command", "@property\ndef command(self) -> ustream: ..."),
        ("execute", "def execute(self) -> bstream: ..."),
    ]),
]
# Operators and protocols the stubs type beyond what the base class gives.
ONDREL_EXTRA = {
    "ustream": ["def __add__(self, other: str) -> ustream: ...",
                "def __radd__(self, other: str) -> ustream: ...",
                "def __mod__(self, values: object) -> ustream: ..."],
    "fstream": ["def __enter__(self) -> fstream: ...",
                "def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,\n"
                "             traceback: TracebackType | None) -> None: ..."],
}


def indent(text):
    return "\n".join("    " + line for line in text.split("\n"))


def dorvane_stub():
    rows = table()
    out = [STUB_HEAD % "the function table in src/module/table.cpp", "import os",
           "from ondrel import " + ", ".join("%s as %s" % (n, n) for n in ONDREL_NAMES), "",
           PATH_TYPES]
    out += ["%s: %s" % attribute for attribute in DORVANE_ATTRIBUTES] + [""]
    unknown = set(p for _, _, params, _ in rows for p, _ in params) - set(PARAMETER_TYPES)
    if unknown:
        fail("parameters without a stub type in docs/generate.py: " + ", ".join(sorted(unknown)))
    for name, convention, params, head in rows:
        kind = head.partition("->")[2].strip()
        if (kind in ("list", "tuple")) != (name in RESULTS_BY_NAME):
            fail("%s answers %r: RESULTS_BY_NAME in docs/generate.py must type it exactly when its "
                 "docstring says only list or tuple" % (name, kind or "nothing"))
        if name not in RESULTS_BY_NAME and kind not in RESULT_TYPES:
            fail("%s answers %r, which has no stub type in docs/generate.py" % (name, kind))
        result = RESULTS_BY_NAME.get(name) or RESULT_TYPES[kind]
        if convention == "one":
            parameters = ["path: _Path", "/"]
        else:
            parameters = []
            for param, default in params:
                kind = PARAMETER_TYPES[param]
                if default == "none":
                    kind += " | None"
                parameters.append("%s: %s%s" % (param, kind, "" if default == "required" else " = ..."))
        out.append("def %s(%s) -> %s: ..." % (name, ", ".join(parameters), result))
    return "\n".join(out) + "\n"


def ondrel_stub(ondrel):
    out = [STUB_HEAD % "the members of the built classes", "import os"] + ONDREL_HEAD[:2]
    out += ["", PATH_TYPES.rstrip("\n")] + ONDREL_HEAD[2:] + [""]
    for name, base, new, members in ONDREL_CLASSES:
        cls = getattr(ondrel, name)
        built = set(m for m in vars(cls) if not m.startswith("__"))
        typed = set(m for m, _ in members)
        for label, extra in (("typed in docs/generate.py", built - typed), ("in the built class", typed - built)):
            if extra:
                fail("ondrel.%s members not %s: %s" % (name, label, ", ".join(sorted(extra))))
        out.append("class %s%s:" % (name, "(%s)" % base if base else ""))
        out += [indent(new)] + [indent(line) for line in ONDREL_EXTRA.get(name, [])]
        out += [indent(text) for _, text in members]
        out.append("")
    return "\n".join(out)


def stubs():
    """file name under stubs/ -> its text."""
    import ondrel
    return {"dorvane.pyi": dorvane_stub(), "ondrel.pyi": ondrel_stub(ondrel), "py.typed": ""}


def check_stubs():
    stale = []
    for name, text in sorted(stubs().items()):
        path = os.path.join(STUBS, name)
        committed = open(path).read() if os.path.exists(path) else None
        if committed != text:
            stale.append(name)
            if committed is not None:
                diff = difflib.unified_diff(committed.splitlines(), text.splitlines(),
                                            "stubs/" + name, "generated", lineterm="", n=0)
                print("\n".join(list(diff)[:12]))
    if stale:
        fail("stubs out of date, run `make docs`: " + ", ".join(stale))
    print("stubs/ is current")


def main():
    if sys.argv[1:] == ["--check-stubs"]:
        return check_stubs()
    text = render()
    with open(OUT, "w") as f:
        f.write(text)
    print("wrote %s" % os.path.relpath(OUT, ROOT))
    for name, text in sorted(stubs().items()):
        with open(os.path.join(STUBS, name), "w") as f:
            f.write(text)
        print("wrote stubs/%s" % name)


if __name__ == "__main__":
    main()

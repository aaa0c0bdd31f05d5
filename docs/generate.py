"""Writes docs/reference.md from the sources and the built modules.

Run by `make docs` with the built modules on the path. Signatures come from
the rows of src/module/table.cpp, groups from the file each body lives in,
docstrings from the modules themselves. What each function raises beyond
argument conversion is kept below, read off the bodies; the generator stops
when a function is missing from it or a new one has no entry.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "docs", "reference.md")

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
DEFAULTS = {"empty_str": "''", "tmp_str": "'tmp'", "dot_str": "'.'", "none": "None",
            "true_": "True", "false_": "False"}


def fail(message):
    sys.exit("docs/generate.py: " + message)


def table_rows():
    """(name, signature) for each row of the function table, in its order."""
    with open(os.path.join(ROOT, "src/module/table.cpp")) as f:
        text = f.read()
    rows = []
    for name, convention, params in re.findall(
            r'\{"(\w+)", Convention::(\w+), \{(.*)\},\s*\n\s*"', text):
        parts = []
        for param, default in re.findall(r'\{"(\w+)", Default::(\w+)\}', params):
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
           "as `name(path)` takes one positional argument.", ""]
    for file_name, title in GROUPS:
        out += ["### %s" % title, "", "Bodies in `%s`." % file_name, ""]
        for name, signature in rows:
            if where[name] != file_name:
                continue
            out += ["#### `%s`" % signature, "", "```", getattr(dorvane, name).__doc__, "```", ""]
            texts = [text % {"name": name} for text in errors[name] if text]
            out += ["Raises: " + ("; ".join(texts) if texts else "nothing of its own") + ".", ""]
    out += ["## ondrel", "", "```", ondrel.__doc__, "```", ""]
    for name in ("ustream", "bstream", "fstream", "pstream"):
        cls = getattr(ondrel, name)
        out += ["### `%s`" % name, "", "```", cls.__doc__, "```", ""]
        for method, doc in method_docs(cls):
            head, _, rest = doc.partition("\n\n")
            head, rest = (head, rest) if rest else (method, head)
            out += ["- `%s`: %s" % (head, rest.replace("\n", " ")), ""]
    error = ondrel.StreamError
    out += ["### `StreamError`", "",
            "Subclass of `%s`, with `errno` and `strerror`; its meanings are listed in the "
            "module's description above." % error.__mro__[1].__name__, ""]
    return "\n".join(out)


def main():
    text = render()
    with open(OUT, "w") as f:
        f.write(text)
    print("wrote %s" % os.path.relpath(OUT, ROOT))


if __name__ == "__main__":
    main()

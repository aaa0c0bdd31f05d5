"""Build and install the dorvane and ondrel extension modules.

`make` drives this file for development builds (into build/ for Python 2.7,
build-3.X/ for Python 3.X); Python users install with `pythonX.Y -m pip install .`.
"""
import glob
import os
import shutil
import sys

if sys.version_info[:2] != (2, 7) and sys.version_info[:2] < (3, 8):
    sys.exit("error: dorvane builds for Python 2.7 and 3.8 or later "
             "(found Python %d.%d)" % sys.version_info[:2])

try:
    from setuptools import setup, Extension
    from setuptools.command.build_ext import build_ext
    from setuptools.command.install import install
except ImportError:
    sys.exit("error: setuptools is missing for Python %d.%d; `make PYTHON=...` and "
             "`make install PYTHON=...` lend it Debian's (see README)" % sys.version_info[:2])
# Imported after setuptools, which supplies distutils where the standard
# library no longer has it (3.12 on).
from distutils import ccompiler, sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
WINDOWS = sys.platform.startswith("win")

# (header, library, Debian package) for every library the codecs link.
LIBRARIES = [
    ("zlib.h", "z", "zlib1g-dev"),
    ("libdeflate.h", "deflate", "libdeflate-dev"),
    ("bzlib.h", "bz2", "libbz2-dev"),
    ("lzma.h", "lzma", "liblzma-dev"),
    ("lzo/lzo1x.h", "lzo2", "liblzo2-dev"),
]


def sources(*patterns):
    found = []
    for pattern in patterns:
        found.extend(sorted(glob.glob(os.path.join(HERE, pattern))))
    return [os.path.relpath(p, HERE) for p in found]


def check_headers():
    """One clear line instead of a compiler error cascade."""
    if WINDOWS:
        return
    dirs = [sysconfig.get_python_inc(), "/usr/include", "/usr/local/include"]
    dirs += glob.glob("/usr/include/*-linux-gnu")
    if not os.path.exists(os.path.join(sysconfig.get_python_inc(), "Python.h")):
        sys.exit("error: Python.h not found in %s; this interpreter has no development "
                 "headers" % sysconfig.get_python_inc())
    for header, _, package in LIBRARIES:
        if not any(os.path.exists(os.path.join(d, header)) for d in dirs):
            sys.exit("error: %s not found; install the Debian package %s "
                     "(or run: sh scripts/install-deps)" % (header, package))


def parallel_compile(self, sources, output_dir=None, macros=None, include_dirs=None,
                     debug=0, extra_preargs=None, extra_postargs=None, depends=None):
    """distutils compiles one file at a time; use every core."""
    macros, objects, extra_postargs, pp_opts, build = self._setup_compile(
        output_dir, macros, include_dirs, sources, depends, extra_postargs)
    cc_args = self._get_cc_args(pp_opts, debug, extra_preargs)

    def one(obj):
        src, ext = build[obj]
        self._compile(obj, src, ext, cc_args, extra_postargs, pp_opts)

    import multiprocessing.pool
    pool = multiprocessing.pool.ThreadPool(max(1, _cpu_count()))
    try:
        pool.map(one, objects)
    finally:
        pool.close()
    return objects


def _cpu_count():
    try:
        import multiprocessing
        return multiprocessing.cpu_count()
    except (ImportError, NotImplementedError):
        return 1


ccompiler.CCompiler.compile = parallel_compile

# The interpreter's flags are for C; g++ warns about the C-only ones.
_config = sysconfig.get_config_vars()
for _key in ("CFLAGS", "OPT", "PY_CFLAGS"):
    if _key in _config:
        _config[_key] = _config[_key].replace("-Wstrict-prototypes", "")

if "egg_info" not in sys.argv and "--help" not in sys.argv:
    check_headers()

CXXFLAGS = [] if WINDOWS else ["-std=c++17", "-fvisibility=hidden", "-Wno-missing-field-initializers",
                              "-Wno-register"]

# The Windows tool files that `magic` writes become C++ source here, before
# the globs below collect the sources (distutils globs nothing later).
_embed_path = os.path.join(HERE, "payloads", "embed.py")
_embed = {"__file__": _embed_path, "__name__": "dorvane_payloads_embed"}
with open(_embed_path) as _f:
    exec(compile(_f.read(), _embed_path, "exec"), _embed)
_embed["write_if_changed"]()

# Type stubs (made by docs/generate.py with the reference) go wherever the
# modules go, so that an installed copy and a build directory both carry them.
# mypy looks in site-packages only for packages, so each stub also goes into a
# stub-only package of its own (`dorvane-stubs/__init__.pyi`).
STUBS = ["dorvane.pyi", "ondrel.pyi", "py.typed"]


class install_for_debian_setuptools(install):
    """Debian's python3-setuptools, which an interpreter without setuptools
    borrows (scripts/with-setuptools), asks `install` for two options that only
    Debian's own distutils adds; setuptools' vendored one has neither."""

    def initialize_options(self):
        install.initialize_options(self)
        self.install_layout = self.prefix_option = None


class build_ext_with_stubs(build_ext):
    def run(self):
        build_ext.run(self)
        for name in STUBS:
            source = os.path.join(HERE, "stubs", name)
            shutil.copyfile(source, os.path.join(self.build_lib, name))
            if name.endswith(".pyi"):
                package = os.path.join(self.build_lib, name[:-len(".pyi")] + "-stubs")
                if not os.path.isdir(package):
                    os.makedirs(package)
                shutil.copyfile(source, os.path.join(package, "__init__.pyi"))

# Python opens extensions with RTLD_NOW, so a shared libstdc++ has every one
# of its thousands of symbols bound at import, which was most of the cost of
# loading them. Linked in, only the parts used come along, each module with its
# own private copy (no C++ object passes between the two).
# A sanitizer build keeps the shared one, whose operator new the sanitizer
# replaces: with a private copy, memory from its new would reach plain free().
SANITIZED = "-fsanitize" in os.environ.get("CFLAGS", "") + os.environ.get("LDFLAGS", "")
STATIC_LIBSTDCXX = [] if SANITIZED else ["-static-libstdc++", "-Wl,--exclude-libs,ALL"]
LINK_ARGS = [] if WINDOWS else STATIC_LIBSTDCXX + ["-Wl,-O1", "-Wl,--hash-style=gnu",
                                                   "-Wl,--as-needed"]

platform_file = "ondrel/process/windows.cpp" if WINDOWS else "ondrel/process/posix.cpp"

dorvane = Extension(
    "dorvane",
    sources=sources("src/module/*.cpp", "src/paths/*.cpp", "src/fsops/*.cpp",
                    "src/temp/*.cpp", "src/content/*.cpp", "src/platform/*.cpp"),
    include_dirs=[HERE],
    # distutils tracks no includes: a changed header (an enum of names, the
    # layer over the two C APIs) must rebuild every source, not just some.
    depends=sources("pyutil/*.h", "src/module/*.h", "src/paths/*.h"),
    extra_compile_args=CXXFLAGS,
    extra_link_args=LINK_ARGS,
    language="c++",
)

ondrel = Extension(
    "ondrel",
    sources=sources("ondrel/*.cpp", "ondrel/codecs/*.cpp", "ondrel/workers/*.cpp") + [platform_file],
    include_dirs=[HERE],
    depends=sources("pyutil/*.h", "ondrel/*.h", "ondrel/codecs/*.h", "ondrel/workers/*.h",
                    "ondrel/process/*.h"),
    libraries=[lib for _, lib, _ in LIBRARIES] + ([] if WINDOWS else ["pthread"]),
    extra_compile_args=CXXFLAGS,
    extra_link_args=LINK_ARGS,
    language="c++",
)

setup(
    name="dorvane",
    version="0.1",
    description="Module to operate with files and directories.",
    ext_modules=[dorvane, ondrel],
    cmdclass={"build_ext": build_ext_with_stubs, "install": install_for_debian_setuptools},
    zip_safe=False,
)

"""Side-by-side benchmarks of dorvane against the standard tools.

Run through `make bench` (BENCH_QUICK=1 for a one-minute check of the script
itself: small sizes, 2 runs). Every ratio is measured in one run, the
contenders interleaved run by run; figures are medians.

Every command, ours included, runs as its own process started from a small
launcher (bench/launch.c), which reports its wall time and peak RSS: a child
forked from this big Python process would inherit its resident size. Ours is
a fresh interpreter that imports dorvane, makes one call and reports VmHWM and
the time around the call. Output goes to files in the same scratch directory
for everyone.

The script runs under Python 2.7 and 3.x alike. With BENCH_OTHER_PYTHON (and
BENCH_OTHER_BUILD, that interpreter's build of the modules) a second
interpreter is measured in the same run: in the codec tables it is one more
contender, interleaved with the same tool runs, so its ratios share the
tools' timings and the generated data; the sections that time calls inside
the benchmark process run again under it, as this script in a child process.
A closing table puts each of its figures beside this interpreter's.
"""
import json
import os
import subprocess
import sys
import time

try:
    xrange
except NameError:
    xrange = range
try:
    text = unicode
except NameError:
    text = str

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gendata  # noqa: E402

import dorvane  # noqa: E402

MiB = 1 << 20
QUICK = os.environ.get("BENCH_QUICK") == "1"
REPS = int(os.environ.get("BENCH_REPS", "2" if QUICK else "5"))
WORK = os.environ.get("BENCH_DIR", "/tmp/dorvane-bench")
LARGE = (2 if QUICK else 64) * MiB
SMALL = (MiB // 2) if QUICK else MiB
BIG = int(os.environ.get("BENCH_BIG_MIB", "32" if QUICK else "1024")) * MiB
BIG_FILTERS = os.environ.get("BENCH_BIG_FILTERS", "gzip lzop").split()
PY = sys.executable
# Another build of both modules (a directory holding dorvane.so and ondrel.so,
# e.g. the previous release), timed beside ours in the codec tables so that a
# change to the codecs is judged against its own past in the same run.
BASELINE = os.environ.get("BENCH_BASELINE")
BASELINE_LABEL = os.environ.get("BENCH_BASELINE_LABEL", "baseline build")
LAUNCHER = os.path.join(WORK, "launch")
OTHER_PY = os.environ.get("BENCH_OTHER_PYTHON")
OTHER_BUILD = os.environ.get("BENCH_OTHER_BUILD")
# Where a child run under the other interpreter leaves its figures.
FIGURES = os.environ.get("BENCH_FIGURES")
# The sections that measure inside the benchmark process itself.
OWN_SECTIONS = ["paths", "magic", "import", "cat", "small", "memory"]


def version(python=None):
    if python is None:
        return "Python %d.%d" % sys.version_info[:2]
    out = subprocess.check_output([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"])
    return "Python " + out.decode("ascii").strip()


THIS = version()
OTHER_LABEL = version(OTHER_PY) if OTHER_PY else None


def have(tool):
    return any(os.access(os.path.join(d, tool), os.X_OK) for d in os.environ["PATH"].split(":"))


def launch(argv, src=None, dst=None, env=None):
    """Runs argv (stdin from src, stdout to dst): whole-process seconds, peak RSS bytes, stdout."""
    fin = open(src, "rb") if src else None
    fout = open(dst, "wb") if dst else subprocess.PIPE
    proc = subprocess.Popen([LAUNCHER] + argv, stdin=fin, stdout=fout, stderr=subprocess.PIPE, env=env)
    out, err = proc.communicate()
    for f in (fin, fout):
        if f not in (None, subprocess.PIPE):
            f.close()
    err = err.decode("utf-8", "replace")
    last = err.splitlines()[-1].split() if err.strip() else []
    if proc.returncode != 0 or len(last) != 4 or last[0] != "launch:" or last[3] != "0":
        raise SystemExit("bench: `%s` failed:\n%s" % (" ".join(argv), err))
    return float(last[1]), int(last[2]) * 1024, out


# One call in a fresh interpreter; prints the time around the call and VmHWM.
CHILD = r"""
import dorvane
import sys, time
way, src, dst, flt = sys.argv[1:5]
t = time.time()
if way == "c": dorvane.compress(src, dst, flt)
elif way == "d": dorvane.decompress(src, dst, flt)
elif way == "cat": dorvane.cat(src)
elif way == "read": open(src, "rb").read()
t = time.time() - t
print("%r %s" % (t, [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]))
"""


def ours(way, src, dst="-", flt="-", build=None, python=None):
    """(seconds around the call, whole-process seconds, peak RSS bytes) of one fresh call;
    `build` names another directory of the modules to import instead, `python` another interpreter."""
    env = dict(os.environ, PYTHONPATH=build) if build else None
    whole, _, out = launch([python or PY, "-c", CHILD, way, src, dst, flt], env=env)
    call, hwm = out.decode("ascii").split()
    return float(call), whole, int(hwm) * 1024


def stats(xs):
    xs = sorted(xs)
    return xs[0], xs[len(xs) // 2] if len(xs) % 2 else (xs[len(xs) // 2 - 1] + xs[len(xs) // 2]) / 2.0, xs[-1]


def median(xs):
    return stats(xs)[1]


class Report(object):
    def __init__(self):
        self.lines = []
        self.targets = []
        # Figures another interpreter's run can be set beside: name -> (value, higher_better, unit, goal);
        # `other` holds that interpreter's, `order` the names as first met.
        self.figures = {}
        self.other = {}
        self.order = []

    def out(self, line=""):
        print(line)
        sys.stdout.flush()
        self.lines.append(line)

    def figure(self, name, value, higher_better=True, unit="x", goal=None, other=False):
        if name not in self.order:
            self.order.append(name)
        (self.other if other else self.figures)[name] = (value, higher_better, unit, goal)

    def target(self, name, value, goal, higher_better=True, unit="x", figure=None):
        """Records a target (or, with goal None, a figure shown for information), and the same
        value as a figure, under `figure` or else the target's own name."""
        self.figure(figure or name, value, higher_better, unit, goal)
        if goal is None:
            return ""
        met = value >= goal if higher_better else value <= goal
        self.targets.append((name, value, goal, higher_better, met, unit))
        return "met" if met else "**missed**"


def timed(fn):
    t = time.time()
    fn()
    return time.time() - t


def data_file(size, seed):
    """Each size in its own directory, so no run reads another size's files."""
    d = os.path.join(WORK, "%dk" % (size >> 10))
    if not os.path.isdir(d):
        os.makedirs(d)
    path = os.path.join(d, "data")
    if not os.path.exists(path) or os.path.getsize(path) != size:
        with open(path, "wb") as f:
            f.write(gendata.generate(size, seed))
    return d, path


def size_label(size):
    return "%d MiB" % (size // MiB) if size >= MiB else "%d KiB" % (size >> 10)


def same(a, b):
    return subprocess.call(["cmp", "-s", a, b]) == 0


# (filter, standard tool, faster tools shown for information)
FILTERS = [
    ("gzip", ["gzip", "-6"], [["pigz", "-6"], ["libdeflate-gzip", "-6"]]),
    ("bzip2", ["bzip2", "-9"], [["lbzip2", "-9"]]),
    ("xz", ["xz", "-6"], [["xz", "-T0", "-6"]]),
    ("lzma", ["xz", "--format=lzma", "-6"], []),
    ("lzop", ["lzop", "-3"], []),
]
PEERS = {"gzip": ["igzip"]}  # decompressors only
MULTI = {"gzip": "pigz -6", "bzip2": "lbzip2 -9", "xz": "xz -T0 -6"}  # for the memory budget

# compress speed, size, decompress the tool's file, decompress ours; all against the standard tool
TARGETS = {
    "gzip": (4.0, 1.00, 3.0, 4.5),
    "xz": (1.85, 1.02, 1.0, 1.8),
    "lzma": (1.0, 1.01, 1.0, 1.0),
    "bzip2": (1.9, 1.01, 1.7, 1.8),
    "lzop": (1.5, None, 1.5, 1.5),
}


def decompress_argv(argv):
    return [argv[0]] + [a for a in argv[1:] if a.startswith(("--format", "-T"))] + ["-dc"]


def bench_codecs(rep, size, seed, large):
    d, data = data_file(size, seed)
    label = size_label(size)
    mb = size / 1e6
    rep.out("### Compression filters, %s" % label)
    rep.out("")
    rep.out("MB/s of uncompressed data, medians of %d interleaved runs; peaks are the largest of the runs. "
            "Tools: whole process. Ours: %s." % (REPS, (
                "time around the call inside a fresh interpreter" if large else
                "the whole fresh interpreter running `import dorvane; dorvane.compress(...)` (or decompress), "
                "start-up included")))
    rep.out("")
    rep.out("| filter | contender | compress MB/s | size | peak MiB | decompress the standard tool's file MB/s "
            "| decompress our file MB/s | peak MiB |")
    rep.out("|---|---|---|---|---|---|---|---|")
    ratio_lines, memory_lines = [], []
    for name, std, fast in FILTERS:
        if not have(std[0]):
            continue
        tools = [std] + [f for f in fast if have(f[0])]
        peers = [[p] for p in PEERS.get(name, []) if have(p)]
        mine_keys = ["ours"] + (["baseline"] if BASELINE else []) + (["other"] if OTHER_PY else [])
        times = dict((" ".join(a), ([], [], [], [], [])) for a in tools + peers + [[k] for k in mine_keys])
        sizes = {}
        theirs, mine, scratch, back, base, other = [os.path.join(d, name + x)
                                                    for x in (".std", ".ours", ".tmp", ".back", ".base", ".other")]
        # Each build reads back its own file.
        own = {"ours": (mine, None, None), "baseline": (base, BASELINE, None), "other": (other, OTHER_BUILD, OTHER_PY)}

        def note(key, column, t, peak):
            times[key][column].append(t)
            times[key][3 if column == 0 else 4].append(peak)

        for _ in range(REPS):
            for argv in tools:
                dst = theirs if argv is std else scratch
                t, peak, _ = launch(argv + ["-c"], data, dst)
                note(" ".join(argv), 0, t, peak)
                sizes[" ".join(argv)] = os.path.getsize(dst)
            for key in mine_keys:
                out, build, python = own[key]
                call, whole, peak = ours("c", data, out, name, build, python)
                note(key, 0, call if large else whole, peak)
                sizes[key] = os.path.getsize(out)
            for argv in tools + peers:
                for column, src in ((1, theirs), (2, mine)):
                    t, peak, _ = launch(decompress_argv(argv), src, back)
                    note(" ".join(argv), column, t, peak)
            for key in mine_keys:
                out, build, python = own[key]
                for column, src in ((1, theirs), (2, out)):
                    call, whole, peak = ours("d", src, back, name, build, python)
                    note(key, column, call if large else whole, peak)
        # Both ways across: what we wrote reads back through the tool, and the tool's file through us.
        intact = same(back, data)
        for key in mine_keys:
            launch(decompress_argv(std), own[key][0], back)
            intact = intact and same(back, data)
        if not intact:
            rep.out("| %s | **round trip FAILED** | | | | | | |" % name)
            rep.target("%s round trip (%s)" % (name, label), 0, 1)

        def cell(t, fmt="%.1f"):
            return fmt % (mb / median(t)) if t else ""

        labels = {"ours": "dorvane", "baseline": "dorvane, %s" % BASELINE_LABEL,
                  "other": "dorvane under %s" % OTHER_LABEL}
        for key in mine_keys + [" ".join(a) for a in tools + peers]:
            t = times[key]
            rep.out("| %s | %s | %s | %s | %s | %s | %s | %.1f |" % (
                name, labels.get(key, "`%s`" % key), cell(t[0]), sizes.get(key, ""),
                "%.1f" % (max(t[3]) / float(MiB)) if t[3] else "", cell(t[1]), cell(t[2]), max(t[4]) / float(MiB)))
        if name == "gzip":
            import zlib
            raw = open(data, "rb").read()

            def deflate():
                c = zlib.compressobj(6, zlib.DEFLATED, 31)
                return c.compress(raw) + c.flush()

            blob = deflate()
            ct = [timed(deflate) for _ in range(REPS)]
            dt = [timed(lambda: zlib.decompress(blob, 47)) for _ in range(REPS)]
            rep.out("| gzip | %s `zlib` module, in memory in the benchmark process | %s | %d | | %s | | |" % (
                THIS, cell(ct), len(blob), cell(dt)))
        key = " ".join(std)
        dkey = " ".join(decompress_argv(std))
        goals = TARGETS[name]

        def against_tools(who):
            ratios = [
                ("compress speed vs `%s`" % key, [a / b for a, b in zip(times[key][0], times[who][0])],
                 goals[0], True),
                ("output size vs `%s`" % key, [float(sizes[who]) / sizes[key]], goals[1], False),
                ("decompress the tool's file vs `%s`" % dkey,
                 [a / b for a, b in zip(times[key][1], times[who][1])], goals[2], True),
                ("decompress our file vs `%s`" % dkey,
                 [a / b for a, b in zip(times[key][2], times[who][2])], goals[3], True),
            ]
            for p in peers:
                ratios.append(("decompress the tool's file vs `%s` (peer)" % " ".join(decompress_argv(p)),
                               [a / b for a, b in zip(times[p[0]][1], times[who][1])], 1.0, True))
            return ratios

        ratios = against_tools("ours")
        if BASELINE:
            ratios[4:4] = [("%s vs dorvane, %s" % (what, BASELINE_LABEL),
                            [a / b for a, b in zip(times["baseline"][column], times["ours"][column])], None, True)
                           for what, column in (("compress", 0), ("decompress the tool's file", 1),
                                                ("decompress our file", 2))]
        if OTHER_PY:
            for what, values, _, higher in against_tools("other"):
                rep.figure("%s %s (%s)" % (name, what, label), stats(values)[1], higher, other=True)
        for what, values, goal, higher in ratios:
            lo, mid, hi = stats(values)
            verdict = rep.target("%s %s (%s)" % (name, what, label), mid, goal, higher)
            ratio_lines.append("| %s | %s | %.3f | %.3f | %.3f | %s | %s |" % (
                name, what, lo, mid, hi, "%s %.2f" % (">=" if higher else "<=", goal) if goal else "", verdict))
        if large:
            mt = MULTI.get(name) if MULTI.get(name) in times else key
            for way, column, in_out in (("compress", 3, size + sizes["ours"]),
                                        ("decompress", 4, size + max(sizes["ours"], sizes[key]))):
                peak, tool_peak = max(times["ours"][column]), max(times[mt][column])
                budget = 1.1 * in_out + tool_peak + 16 * MiB
                verdict = rep.target("%s %s peak RSS, MiB (%s)" % (name, way, label), peak / float(MiB), budget / MiB,
                                     False, "MiB")
                memory_lines.append("| %s | %s | %.1f | `%s` %.1f | %.1f | %s |" % (
                    name, way, peak / float(MiB), mt, tool_peak / float(MiB), budget / MiB, verdict))
                if OTHER_PY:
                    rep.figure("%s %s peak RSS, MiB (%s)" % (name, way, label),
                               max(times["other"][column]) / float(MiB), False, "MiB", budget / MiB, other=True)
        for path in (scratch, back, base, other):
            if os.path.exists(path):
                os.remove(path)
    rep.out("")
    rep.out("Ratios are ours over the tool's (or over the baseline build's), taken run by run.")
    rep.out("")
    rep.out("| filter | ratio | min | median | max | target | |")
    rep.out("|---|---|---|---|---|---|---|")
    for line in ratio_lines:
        rep.out(line)
    rep.out("")
    if memory_lines:
        rep.out("Peak RSS: ours is VmHWM of the fresh interpreter, the tool's is its ru_maxrss. "
                "Budget = 1.1 x (input + output) + the (multi-threaded) tool's peak + 16 MiB.")
        rep.out("")
        rep.out("| filter | way | our peak MiB | tool's peak MiB | budget MiB | |")
        rep.out("|---|---|---|---|---|---|")
        for line in memory_lines:
            rep.out(line)
        rep.out("")


def per_call(fn, arg, n):
    t = time.time()
    for _ in xrange(n):
        fn(arg)
    return (time.time() - t) / n


class U(text):
    pass


def pure_python():
    enc = sys.getfilesystemencoding()
    # Byte paths are decoded the way the module decodes them on each interpreter.
    decode = getattr(os, "fsdecode", None) or (lambda p: p.decode(enc))

    def conv(p):
        return U(p if isinstance(p, text) else decode(p))

    def guard(p):
        if not os.path.exists(p):
            raise OSError(2, "No such file or directory", p)

    def exists(p):
        return os.path.exists(conv(p))

    def isfile(p):
        p = conv(p)
        guard(p)
        return os.path.isfile(p)

    def join(p):
        return U(os.path.join(conv(p), u"x"))

    def abspath(p):
        p = conv(p)
        guard(p)
        return U(os.path.abspath(p))

    def getsize(p):
        p = conv(p)
        guard(p)
        return int(os.path.getsize(p))

    def listdir(p):
        p = conv(p)
        guard(p)
        return [U(x) for x in os.listdir(p)]

    return dict(exists=exists, isfile=isfile, join=join, abspath=abspath, getsize=getsize, listdir=listdir)


def path_fixture():
    d = os.path.join(WORK, "dir10")
    if not os.path.isdir(d):
        os.makedirs(d)
    for i in range(10):
        open(os.path.join(d, "f%d" % i), "w").close()
    return d, os.path.join(d, "f0")


def bench_paths(rep):
    rep.out("### Path functions: per-call cost")
    rep.out("")
    d, f = path_fixture()

    def functions(x):
        """The bare calls and ours, joining `x`: os.path.join on 3.x takes no mixture of bytes and str."""
        bare = dict(
            exists=lambda p: os.path.exists(p),
            isfile=lambda p: os.path.exists(p) and os.path.isfile(p),
            join=lambda p: os.path.join(p, x),
            abspath=lambda p: os.path.exists(p) and os.path.abspath(p),
            getsize=lambda p: os.path.exists(p) and os.path.getsize(p),
            listdir=lambda p: os.path.exists(p) and os.listdir(p),
        )
        ours = dict(
            exists=dorvane.exists, isfile=dorvane.isfile, join=lambda p: dorvane.join(p, x),
            abspath=dorvane.abspath, getsize=dorvane.getsize, listdir=dorvane.listdir,
        )
        return bare, ours

    pure = pure_python()
    # A byte path and a text path, by the names this interpreter gives them.
    kinds = [("byte path", bytes.__name__, d.encode("ascii"), f.encode("ascii"), b"x"),
             ("text path", text.__name__, d.decode("ascii") if text is not str else d,
              f.decode("ascii") if text is not str else f, "x")]
    rep.out("Microseconds per call, median of %d runs; overhead = ours - bare, pure-Python rendition "
            "converts to a %s subclass, guards, calls and wraps." % (REPS, text.__name__))
    rep.out("")
    rep.out("| function | arg | bare us | dorvane us | pure-Python us | dorvane/bare | overhead/pure overhead | |")
    rep.out("|---|---|---|---|---|---|---|---|")
    for name in ["exists", "isfile", "join", "abspath", "getsize", "listdir"]:
        for common, kind, d_arg, f_arg, x in kinds:
            arg = d_arg if name == "listdir" else f_arg
            bare, ours = functions(x)
            n = (20000 if name == "listdir" else 100000) // (10 if QUICK else 1)
            b, o, p = [], [], []
            for _ in range(REPS):
                b.append(per_call(bare[name], arg, n))
                o.append(per_call(ours[name], arg, n))
                p.append(per_call(pure[name], arg, n))
            mb, mo, mp = median(b), median(o), median(p)
            ratio = mo / mb
            # No overhead at all once ours is no slower than the bare calls.
            overhead = max(mo - mb, 0.0)
            share = overhead / (mp - mb) if mp > mb else (0.0 if not overhead else float("inf"))
            v1 = rep.target("%s(%s) vs bare" % (name, kind), ratio, 1.0, False,
                            figure="%s(%s) vs bare" % (name, common))
            v2 = rep.target("%s(%s) overhead vs pure-Python overhead" % (name, kind), share, 0.25, False,
                            figure="%s(%s) overhead vs pure-Python overhead" % (name, common))
            rep.out("| %s | %s | %.3f | %.3f | %.3f | %.2f (%s) | %.2f (%s) |" % (
                name, kind, mb * 1e6, mo * 1e6, mp * 1e6, ratio, v1, share, v2))
    rep.out("")
    bench_path_steps(rep, kinds)


def bench_path_steps(rep, kinds):
    """What each step of a guarded query costs alone, so the table above can be read step by step."""
    from ondrel import ustream
    steps = [("`ustream(p)`: the conversion", lambda p: ustream(p)),
             ("`ustream(p)._unicode_`: conversion and text", lambda p: ustream(p)._unicode_),
             ("`os.stat(p)`: the system call and its result", os.stat),
             ("`os.path.exists(p)`", os.path.exists),
             ("`dorvane.exists(p)`: conversion, test, answer", dorvane.exists)]
    rep.out("Each step alone, microseconds per call (median of %d runs):" % REPS)
    rep.out("")
    rep.out("| step | %s us | %s us |" % tuple(kind for _, kind, _, _, _ in kinds))
    rep.out("|---|---|---|")
    n = 100000 // (10 if QUICK else 1)
    for label, step in steps:
        cells = [median([per_call(step, f_arg, n) for _ in range(REPS)]) * 1e6 for _, _, _, f_arg, _ in kinds]
        rep.out("| %s | %.3f | %.3f |" % ((label,) + tuple(cells)))
    rep.out("")


def bench_magic(rep):
    rep.out("### magic vs `file --brief --mime-type`")
    rep.out("")
    path = data_file(SMALL, 2)[1]
    ours, bare = [], []
    for _ in range(max(REPS, 11)):
        t = time.time()
        subprocess.check_output(["/usr/bin/file", "--brief", "--mime-type", path])
        bare.append(time.time() - t)
        ours.append(timed(lambda: dorvane.magic(path)))
    ratios = [a / b for a, b in zip(ours, bare)]
    lo, mid, hi = stats(ratios)
    v = rep.target("magic vs file", mid, 1.05, False)
    rep.out("file: %.2f ms, dorvane.magic: %.2f ms; ratio min/median/max %.3f/%.3f/%.3f (target <= 1.05: %s)" % (
        median(bare) * 1e3, median(ours) * 1e3, lo, mid, hi, v))
    rep.out("")



CHILD_LEAK = r"""
import dorvane, gc, os, sys
d, f = sys.argv[1:3]
if bytes is str:
    u = f.decode("ascii")
else:
    u, f = f, f.encode("ascii")
    xrange = range
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
calls = [lambda: dorvane.exists(f), lambda: dorvane.isfile(u), lambda: dorvane.join(f, u"x"),
         lambda: dorvane.abspath(u), lambda: dorvane.getsize(f), lambda: dorvane.listdir(d)]
for c in calls * 2000: c()
gc.collect(); r0 = rss(); g0 = len(gc.get_objects())
for i in xrange(1000000 // 6):
    for c in calls: c()
gc.collect(); r1 = rss(); g1 = len(gc.get_objects())
print("%d %d" % (r1 - r0, g1 - g0))
"""


IMPORT = "import time; t = time.time(); import os, sys, zlib, base64, codecs, shutil, tempfile, platform%s; " \
         "print(time.time() - t)"


def bench_import(rep):
    rep.out("### Import time in a fresh interpreter")
    rep.out("")
    whole, inside = ([], []), ([], [])
    for _ in range(max(REPS, 21)):
        for i, extra in enumerate(("", ", dorvane")):
            t, _, out = launch([PY, "-c", IMPORT % extra])
            whole[i].append(t)
            inside[i].append(float(out.decode("ascii")))
    diff = (median(whole[1]) - median(whole[0])) * 1e3
    v = rep.target("`import dorvane` over the eight standard imports, whole process (ms)", diff, 2.0, False, "ms")
    rep.out("Medians of %d interleaved fresh interpreters importing os, sys, zlib, base64, codecs, shutil, "
            "tempfile and platform, without and with dorvane after them. Whole process: %.1f ms vs %.1f ms, "
            "%.2f ms over (target <= 2 ms: %s). Time around the imports inside the process: %.2f ms vs "
            "%.2f ms, %.2f ms over." % (
                len(whole[0]), median(whole[0]) * 1e3, median(whole[1]) * 1e3, diff, v,
                median(inside[0]) * 1e3, median(inside[1]) * 1e3,
                (median(inside[1]) - median(inside[0])) * 1e3))
    rep.out("")


def bench_cat(rep):
    _, data = data_file(LARGE, 1)
    open(data, "rb").read()
    cat, read = [], []
    for _ in range(max(REPS, 11)):
        cat.append(ours("cat", data)[0])
        read.append(ours("read", data)[0])
    lo, mid, hi = stats([a / b for a, b in zip(cat, read)])
    v = rep.target("`dorvane.cat` vs `open(path, 'rb').read()`, %d MiB" % (LARGE // MiB), mid, 0.5, False)
    rep.out("### cat")
    rep.out("")
    rep.out("A %d MiB plain file, page cache warm; time around the call in fresh interpreters of the same "
            "kind, interleaved, %d runs: `dorvane.cat` %.1f ms, `open(path, 'rb').read()` %.1f ms; ratio "
            "min/median/max %.3f/%.3f/%.3f (target <= 0.5: %s)." % (
                LARGE // MiB, len(cat), median(cat) * 1e3, median(read) * 1e3, lo, mid, hi, v))
    rep.out("")


def standard_reader(name):
    """The standard library's way to read a whole `name` file on this interpreter, or None."""
    modules = {"gzip": ("gzip", "open"), "bzip2": ("bz2", "open"), "xz": ("lzma", "open"), "lzma": ("lzma", "open")}
    if name not in modules:
        return None
    module, opener = modules[name]
    try:
        module = __import__(module)
    except ImportError:
        return None
    # 2.7's bz2 has only the class.
    opener = getattr(module, opener, None) or getattr(module, "BZ2File")

    def read(path):
        f = opener(path, "rb")
        try:
            return f.read()
        finally:
            f.close()
    return module.__name__, "`%s.%s(path).read()`" % (module.__name__, opener.__name__), read


def bench_small(rep):
    """A file of 1 KiB, compressed by each standard tool, read over and over: what a reader of many small
    files pays per file, set against the standard library's modules where this interpreter has one."""
    d = os.path.join(WORK, "small1k")
    if not os.path.isdir(d):
        os.makedirs(d)
    plain = gendata.generate(1024, 3)
    n = 200 if QUICK else 2000
    rep.out("### Small compressed files")
    rep.out("")
    rep.out("A file of 1 KiB (uncompressed), written by each filter's standard tool, read whole %d times in a row "
            "in the benchmark process (page cache warm); microseconds per read, medians of %d interleaved runs. "
            "Ratio = ours / the standard library's, run by run." % (n, max(REPS, 5)))
    rep.out("")
    rep.out("| filter | file bytes | `dorvane.cat(path, filter)` us | contender | contender us | ratio min | median "
            "| max | |")
    rep.out("|---|---|---|---|---|---|---|---|---|")
    for name, std, _ in FILTERS:
        if not have(std[0]):
            continue
        path = os.path.join(d, "data." + name)
        with open(path + ".in", "wb") as f:
            f.write(plain)
        with open(path + ".in", "rb") as src:
            with open(path, "wb") as dst:
                subprocess.check_call(std + ["-c"], stdin=src, stdout=dst)
        contender = standard_reader(name)
        readers = [lambda p, name=name: dorvane.cat(p, name)] + ([contender[2]] if contender else [])
        if any(read(path) != plain for read in readers):
            rep.out("| %s | **read back FAILED** | | | | | | | |" % name)
            rep.target("%s 1 KiB file read back" % name, 0, 1)
            continue
        times = [[] for _ in readers]
        for _ in range(max(REPS, 5)):
            for read, t in zip(readers, times):
                t.append(per_call(read, path, n))
        ours = median(times[0]) * 1e6
        if not contender:
            rep.out("| %s | %d | %.1f | no module in %s | | | | | |" % (name, os.path.getsize(path), ours, THIS))
            continue
        lo, mid, hi = stats([a / b for a, b in zip(times[0], times[1])])
        # Named by module, so that 2.7's figure and 3.x's stand side by side.
        v = rep.target("cat of a 1 KiB %s file vs Python's %s module" % (name, contender[0]), mid, 1.0, False)
        rep.out("| %s | %d | %.1f | %s | %.1f | %.3f | %.3f | %.3f | <= 1.00 %s |" % (
            name, os.path.getsize(path), ours, contender[1], median(times[1]) * 1e6, lo, mid, hi, v))
    rep.out("")


def bench_memory(rep):
    rep.out("### Memory")
    rep.out("")
    d, data = data_file(LARGE, 1)
    big = os.path.join(WORK, "big")
    if not os.path.exists(big) or os.path.getsize(big) != BIG:
        # The large file over and over: repeats that far apart are out of reach of these filters' windows.
        chunk = open(data, "rb").read()
        with open(big, "wb") as f:
            for start in range(0, BIG, len(chunk)):
                f.write(chunk[:BIG - start])
    idle = ours("none", data)[2]
    rep.out("A fresh interpreter that imports dorvane and makes no call peaks at %.1f MiB. One call on a "
            "%d MiB file, peak RSS (VmHWM) of that interpreter:" % (idle / float(MiB), BIG // MiB))
    rep.out("")
    rep.out("| filter | way | MB/s | peak MiB | |")
    rep.out("|---|---|---|---|---|")
    packed, back = big + ".packed", big + ".back"
    for name in BIG_FILTERS:
        for way, src, dst in (("compress", big, packed), ("decompress", packed, back)):
            t, _, peak = ours(way[0], src, dst, name)
            v = rep.target("%s %s peak RSS, MiB (%d MiB file)" % (name, way, BIG // MiB), peak / float(MiB),
                           192, False, "MiB")
            rep.out("| %s | %s | %.1f | %.1f | %s |" % (name, way, BIG / 1e6 / t, peak / float(MiB), v))
        if not same(back, big):
            rep.out("| %s | **round trip FAILED** | | | |" % name)
            rep.target("%s round trip (%d MiB file)" % (name, BIG // MiB), 0, 1)
    for path in (packed, back):
        if os.path.exists(path):
            os.remove(path)
    out = subprocess.check_output([PY, "-c", CHILD_LEAK] + list(path_fixture()))
    drss, dobj = [int(x) for x in out.decode("ascii").split()]
    v1 = rep.target("RSS growth over 1M path calls (bytes)", drss, MiB, False, "B")
    v2 = rep.target("gc objects growth over 1M path calls", dobj, 100, False, "")
    rep.out("")
    rep.out("Over a million calls of the six path functions: RSS grew %d bytes (%s), "
            "gc objects grew %d (%s)." % (drss, v1, dobj, v2))
    rep.out("")


def bench_other(rep, sections):
    """The in-process sections again, under the other interpreter: this script in a child process that
    leaves its figures in a file and its own report in the scratch directory."""
    figures = os.path.join(WORK, "figures-other.json")
    env = dict(os.environ, PYTHONPATH=OTHER_BUILD, BENCH_FIGURES=figures,
               BENCH_RESULTS=os.path.join(WORK, "results-other.md"))
    for name in ("BENCH_OTHER_PYTHON", "BENCH_OTHER_BUILD", "BENCH_BASELINE"):
        env.pop(name, None)
    print("\n## The same sections under %s\n" % OTHER_LABEL)
    sys.stdout.flush()
    if os.path.exists(figures):
        os.remove(figures)
    # A failure there still leaves this interpreter's report and the codec comparison.
    status = subprocess.call([OTHER_PY, os.path.abspath(__file__)] + sections, env=env)
    if status != 0 or not os.path.exists(figures):
        rep.out("**The run of %s under %s failed (status %d); its figures are missing below.**" % (
            ", ".join(sections), OTHER_LABEL, status))
        rep.out("")
        return
    with open(figures) as f:
        for name, (value, higher, unit, goal) in json.load(f).items():
            rep.figure(name, value, higher, unit, goal, other=True)


def beside(rep):
    rep.out("### %s beside %s" % (OTHER_LABEL, THIS))
    rep.out("")
    rep.out("Each figure measured under both interpreters, each with its own build of the modules. The codec "
            "ratios of both are over the same tool runs (%s is one more contender in the codec tables, "
            "interleaved run by run; at %s its own start-up is part of its time); the path ratios are over the "
            "bare os.path calls of the same interpreter, in its own process; the overhead shares also move with "
            "the speed at which each interpreter runs the pure-Python rendition. Byte path: `str` on 2.7, `bytes` "
            "on 3.x; text path: `unicode` on 2.7, `str` on 3.x. Within 10%%: %s's figure is within a tenth of "
            "%s's; otherwise, whether it is better or worse." % (OTHER_LABEL, size_label(SMALL), OTHER_LABEL, THIS))
    rep.out("")
    rep.out("| ratio | %s | %s | %s / %s | within 10%% |" % (THIS, OTHER_LABEL, OTHER_LABEL[7:], THIS[7:]))
    rep.out("|---|---|---|---|---|")

    def finite(v):
        return abs(v) != float("inf") and v == v

    # Peaks, milliseconds and counts are not ratios: the interpreters differ in size and start-up, so
    # those of the other are held to their targets instead.
    absolute = [name for name in rep.order if name in rep.other and rep.other[name][2] != "x"]
    for name in rep.order:
        if name not in rep.figures or name not in rep.other or name in absolute:
            continue
        mine, higher, unit, _ = rep.figures[name]
        theirs = rep.other[name][0]
        if not (finite(mine) and finite(theirs)) or mine == 0:
            verdict = "n/a"
        elif abs(theirs - mine) <= 0.1 * abs(mine):
            verdict = "yes"
        else:
            verdict = "no, better" if (theirs > mine) == higher else "**no, worse**"
        rep.out("| %s | %.3f | %.3f | %s | %s |" % (
            name, mine, theirs, "%.3f" % (theirs / mine) if verdict != "n/a" and mine > 0 else "", verdict))
    rep.out("")
    held = [(name,) + rep.other[name] for name in absolute if rep.other[name][3] is not None]
    missed = ["%s: %.1f, goal %s %.1f" % (name, value, ">=" if higher else "<=", goal)
              for name, value, higher, unit, goal in held if not (value >= goal if higher else value <= goal)]
    rep.out("%s's figures that are not ratios (peak RSS, import time, growth over a million path calls), held to "
            "the same targets: %d of %d met%s." % (OTHER_LABEL, len(held) - len(missed), len(held),
                                                   "; missed: " + "; ".join(missed) if missed else ""))
    rep.out("")


def git(*args):
    return subprocess.check_output(["git", "-C", HERE] + list(args)).decode("utf-8", "replace").strip()


def main():
    if not os.path.isdir(WORK):
        os.makedirs(WORK)
    subprocess.check_call(["cc", "-O2", "-o", LAUNCHER, os.path.join(HERE, "launch.c")])
    sections = sys.argv[1:] or ["codecs"] + OWN_SECTIONS
    if OTHER_PY and not OTHER_BUILD:
        raise SystemExit("bench: BENCH_OTHER_PYTHON needs BENCH_OTHER_BUILD, that interpreter's build of the modules")
    rep = Report()
    started = time.time()
    load = open("/proc/loadavg").read().split()[:3]
    dirty = git("status", "--porcelain", "--", ".", ":!bench/results.md")
    rep.out("# Benchmark results")
    rep.out("")
    rep.out("Commit %s%s, %s; %d CPUs; load average (1, 5, 15 min) %s at start, LOAD_AT_END at end; "
            "malloc tunables: %s; %d runs per figure%s; %s%s." % (
                git("rev-parse", "--short", "HEAD"), " (dirty)" if dirty else "",
                time.strftime("%Y-%m-%d %H:%M %Z"), os.sysconf("SC_NPROCESSORS_ONLN"), " ".join(load),
                os.environ.get("GLIBC_TUNABLES", "default"), REPS, "; BENCH_QUICK sizes" if QUICK else "",
                THIS, ", %s beside it" % OTHER_LABEL if OTHER_PY else ""))
    rep.out("")
    rep.out("Every command runs as its own process, started from a small launcher that reports its wall time "
            "and peak RSS. Tools are timed as whole processes. Ours is a fresh interpreter making one call: "
            "at %s the whole process is timed, start-up and `import dorvane` included; at %s, the "
            "call inside it. Peak RSS is the tool's ru_maxrss and our interpreter's VmHWM." % (
                size_label(SMALL), size_label(LARGE)))
    rep.out("")
    if "codecs" in sections:
        bench_codecs(rep, LARGE, 1, True)
        bench_codecs(rep, SMALL, 2, False)
    if "paths" in sections:
        bench_paths(rep)
    if "magic" in sections:
        bench_magic(rep)
    if "import" in sections:
        bench_import(rep)
    if "cat" in sections:
        bench_cat(rep)
    if "small" in sections:
        bench_small(rep)
    if "memory" in sections:
        bench_memory(rep)
    if OTHER_PY:
        others = [s for s in OWN_SECTIONS if s in sections]
        if others:
            bench_other(rep, others)
        beside(rep)
    rep.out("### Targets")
    rep.out("")
    rep.out("| target | measured | goal | |")
    rep.out("|---|---|---|---|")
    for name, value, goal, higher, met, unit in rep.targets:
        rep.out("| %s | %.3f | %s %.3f | %s |" % (name, value, ">=" if higher else "<=", goal,
                                                  "met" if met else "**missed**"))
    rep.out("")
    rep.out("%d of %d targets met; the run took %.0f s." % (
        sum(1 for t in rep.targets if t[4]), len(rep.targets), time.time() - started))
    end = " ".join(open("/proc/loadavg").read().split()[:3])
    print("load average at end: %s" % end)
    default = os.path.join(WORK, "results-quick.md") if QUICK else os.path.join(HERE, "results.md")
    with open(os.environ.get("BENCH_RESULTS", default), "w") as f:
        f.write("\n".join(rep.lines).replace("LOAD_AT_END", end, 1) + "\n")
    if FIGURES:
        with open(FIGURES, "w") as f:
            json.dump(rep.figures, f)


if __name__ == "__main__":
    main()

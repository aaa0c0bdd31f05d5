"""Side-by-side benchmarks of dorvane against the standard tools.

Run through `make bench`. Every figure is a ratio measured in the same run:
the contenders are interleaved, each repeated, and min/median/max reported.
Our codecs are timed inside a long-lived Python 2.7 process around one
dorvane.compress/decompress call; each tool is timed as a whole process
(fork, exec, run, exit), as a user would run it. Output goes to files in
the same scratch directory for both.
"""
import gc
import os
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import gendata  # noqa: E402

import dorvane  # noqa: E402

REPS = int(os.environ.get("BENCH_REPS", "5"))
WORK = os.environ.get("BENCH_DIR", "/tmp/dorvane-bench")
MiB = 1 << 20


def have(tool):
    return any(os.access(os.path.join(d, tool), os.X_OK) for d in os.environ["PATH"].split(":"))


def run_tool(argv, src, dst):
    """Whole-process wall time of `argv < src > dst`; None if it failed."""
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        t = time.time()
        proc = subprocess.Popen(argv, stdin=fin, stdout=fout)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.time() - t
    proc.returncode = status
    if status != 0:
        return None, 0
    return elapsed, usage.ru_maxrss * 1024


def timed(fn):
    gc.collect()
    t = time.time()
    fn()
    return time.time() - t


def stats(xs):
    xs = sorted(xs)
    return xs[0], xs[len(xs) // 2], xs[-1]


def median(xs):
    return stats(xs)[1]


class Report(object):
    def __init__(self):
        self.lines = []
        self.targets = []

    def out(self, line=""):
        print(line)
        sys.stdout.flush()
        self.lines.append(line)

    def target(self, name, value, goal, higher_better=True, unit="x"):
        met = value >= goal if higher_better else value <= goal
        self.targets.append((name, value, goal, higher_better, met, unit))
        return "met" if met else "NOT met"


# (filter, our name, standard tool argv, fastest tools for information)
FILTERS = [
    ("gzip", ["gzip", "-6"], [["pigz", "-p2", "-6"], ["libdeflate-gzip", "-6"]]),
    ("bzip2", ["bzip2", "-9"], [["lbzip2", "-n2", "-9"], ["pbzip2", "-p2", "-9"]]),
    ("xz", ["xz", "-6"], [["xz", "-T2", "-6"]]),
    ("lzma", ["xz", "--format=lzma", "-6"], []),
    ("lzop", ["lzop", "-3"], []),
]

TARGETS = {  # compress speed, size, decompress theirs, decompress ours
    "gzip": (4.0, 1.00, 2.0, 3.0),
    "xz": (1.85, 1.02, 1.0, 1.8),
    "lzma": (1.0, 1.01, 1.0, 1.0),
    "bzip2": (1.9, 1.01, 1.7, 1.8),
    "lzop": (1.8, 1.02, 1.5, 1.5),
}


def decompress_argv(argv):
    return [argv[0]] + [a for a in argv[1:] if a.startswith("--format")] + ["-dc"]


def python_codec(name, level):
    """Python 2.7's own zlib/bz2 modules over the whole buffer (no file I/O timed)."""
    if name == "gzip":
        import zlib

        def comp(data):
            c = zlib.compressobj(level, zlib.DEFLATED, 31)
            return c.compress(data) + c.flush()

        return comp, lambda blob: zlib.decompress(blob, 47)
    if name == "bzip2":
        import bz2
        return (lambda data: bz2.compress(data, level)), bz2.decompress
    return None


def python_module_times(py, path):
    comp, decomp = py
    data = open(path, "rb").read()
    ct = [timed(lambda: comp(data)) for _ in range(3)]
    blob = comp(data)
    dt = [timed(lambda: decomp(blob)) for _ in range(3)]
    return ct, dt, len(blob)


def bench_codecs(rep, path, label):
    size = os.path.getsize(path)
    mb = size / 1e6
    rep.out("### %s (%s, %.1f MiB)" % ("Compression filters", label, size / float(MiB)))
    rep.out("")
    rep.out("Throughput in MB/s of uncompressed data; ratios are ours over the tool's, "
            "medians of %d interleaved runs (min/median/max)." % REPS)
    rep.out("")
    rep.out("| filter | contender | compress MB/s | size | decompress own file MB/s | decompress our file MB/s |")
    rep.out("|---|---|---|---|---|---|")
    ratio_lines = []
    for name, std, fast in FILTERS:
        if not have(std[0]):
            continue
        contenders = [("std", std)] + [("fast", f) for f in fast if have(f[0])]
        ours_packed = os.path.join(WORK, "ours." + name)
        ours_back = os.path.join(WORK, "ours.back")
        times = {"ours": ([], [], [])}
        sizes = {}
        for _, argv in contenders:
            times[" ".join(argv)] = ([], [], [])
        for r in range(REPS):
            for kind, argv in contenders:
                key = " ".join(argv)
                packed = os.path.join(WORK, "%s.%d" % (name, contenders.index((kind, argv))))
                t, _ = run_tool(argv + ["-c"], path, packed)
                times[key][0].append(t)
                sizes[key] = os.path.getsize(packed)
            times["ours"][0].append(timed(lambda: dorvane.compress(path, ours_packed, name)))
            sizes["ours"] = os.path.getsize(ours_packed)
            for kind, argv in contenders:
                key = " ".join(argv)
                packed = os.path.join(WORK, "%s.%d" % (name, contenders.index((kind, argv))))
                t, _ = run_tool(decompress_argv(argv), packed, os.path.join(WORK, "tool.back"))
                times[key][1].append(t)
                t, _ = run_tool(decompress_argv(argv), ours_packed, os.path.join(WORK, "tool.back"))
                times[key][2].append(t)
            std_packed = os.path.join(WORK, "%s.0" % name)
            times["ours"][1].append(timed(lambda: dorvane.decompress(std_packed, ours_back, name)))
            times["ours"][2].append(timed(lambda: dorvane.decompress(ours_packed, ours_back, name)))
        # Everything we wrote must come back whole through the tool too.
        check = os.path.join(WORK, "check.back")
        run_tool(decompress_argv(std), ours_packed, check)
        intact = open(check, "rb").read() == open(path, "rb").read() and \
            open(ours_back, "rb").read() == open(path, "rb").read()
        if not intact:
            rep.out("| %s | **round trip FAILED** | | | | |" % name)
        row = lambda who, t, s: rep.out("| %s | %s | %.1f | %d | %.1f | %.1f |" % (
            name, who, mb / median(t[0]), s, mb / median(t[1]), mb / median(t[2])))
        row("dorvane", times["ours"], sizes["ours"])
        for kind, argv in contenders:
            key = " ".join(argv)
            row("`%s`" % key, times[key], sizes[key])
        py = python_codec(name, int(std[-1][1:]))
        if py:
            ct, dt, packed_size = python_module_times(py, path)
            rep.out("| %s | Python 2.7 `%s` module (in memory) | %.1f | %d | %.1f | |" % (
                name, "zlib" if name == "gzip" else "bz2", mb / median(ct), packed_size, mb / median(dt)))
        std_key = " ".join(std)
        goals = TARGETS[name]
        ratios = [
            ("compress speed vs `%s`" % std_key,
             [a / b for a, b in zip(times[std_key][0], times["ours"][0])], goals[0], True),
            ("output size vs `%s`" % std_key, [float(sizes["ours"]) / sizes[std_key]], goals[1], False),
            ("decompress the tool's file vs `%s`" % " ".join(decompress_argv(std)),
             [a / b for a, b in zip(times[std_key][1], times["ours"][1])], goals[2], True),
            ("decompress our file vs `%s`" % " ".join(decompress_argv(std)),
             [a / b for a, b in zip(times[std_key][2], times["ours"][2])], goals[3], True),
        ]
        for what, values, goal, higher in ratios:
            lo, mid, hi = stats(values)
            verdict = rep.target("%s %s (%s)" % (name, what, label), mid, goal, higher)
            ratio_lines.append("| %s | %s | %.3f | %.3f | %.3f | %s %.2f | %s |" % (
                name, what, lo, mid, hi, ">=" if higher else "<=", goal, verdict))
        if not intact:
            rep.target("%s round trip (%s)" % (name, label), 0, 1)
    rep.out("")
    rep.out("| filter | ratio | min | median | max | target | |")
    rep.out("|---|---|---|---|---|---|---|")
    for line in ratio_lines:
        rep.out(line)
    rep.out("")


def per_call(fn, arg, n):
    t = time.time()
    for _ in xrange(n):
        fn(arg)
    return (time.time() - t) / n


class U(unicode):
    pass


def pure_python():
    enc = sys.getfilesystemencoding()

    def conv(p):
        return U(p if isinstance(p, unicode) else p.decode(enc))

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


def bench_paths(rep):
    rep.out("### Path functions: per-call cost")
    rep.out("")
    d = os.path.join(WORK, "dir10")
    if not os.path.isdir(d):
        os.makedirs(d)
    for i in range(10):
        open(os.path.join(d, "f%d" % i), "w").close()
    f = os.path.join(d, "f0")
    bare = dict(
        exists=lambda p: os.path.exists(p),
        isfile=lambda p: os.path.exists(p) and os.path.isfile(p),
        join=lambda p: os.path.join(p, "x"),
        abspath=lambda p: os.path.exists(p) and os.path.abspath(p),
        getsize=lambda p: os.path.exists(p) and os.path.getsize(p),
        listdir=lambda p: os.path.exists(p) and os.listdir(p),
    )
    ours = dict(
        exists=dorvane.exists, isfile=dorvane.isfile, join=lambda p: dorvane.join(p, "x"),
        abspath=dorvane.abspath, getsize=dorvane.getsize, listdir=dorvane.listdir,
    )
    pure = pure_python()
    rep.out("Microseconds per call, median of %d runs; overhead = ours - bare, pure-Python rendition "
            "converts to a unicode subclass, guards, calls and wraps." % REPS)
    rep.out("")
    rep.out("| function | arg | bare us | dorvane us | pure-Python us | dorvane/bare | overhead/pure overhead | |")
    rep.out("|---|---|---|---|---|---|---|---|")
    for name in ["exists", "isfile", "join", "abspath", "getsize", "listdir"]:
        arg0 = d if name == "listdir" else f
        for kind, arg in (("str", arg0), ("unicode", arg0.decode("ascii"))):
            n = 20000 if name == "listdir" else 100000
            b, o, p = [], [], []
            for _ in range(REPS):
                b.append(per_call(bare[name], arg, n))
                o.append(per_call(ours[name], arg, n))
                p.append(per_call(pure[name], arg, n))
            mb, mo, mp = median(b), median(o), median(p)
            ratio = mo / mb
            share = (mo - mb) / (mp - mb) if mp > mb else float("inf")
            v1 = rep.target("%s(%s) vs bare" % (name, kind), ratio, 1.25, False)
            v2 = rep.target("%s(%s) overhead vs pure-Python overhead" % (name, kind), share, 0.25, False)
            rep.out("| %s | %s | %.3f | %.3f | %.3f | %.2f (%s) | %.2f (%s) |" % (
                name, kind, mb * 1e6, mo * 1e6, mp * 1e6, ratio, v1, share, v2))
    rep.out("")


def bench_magic(rep):
    rep.out("### magic vs `file --brief --mime-type`")
    rep.out("")
    path = os.path.join(WORK, "data1m")
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


def bench_import(rep):
    rep.out("### Import time in a fresh interpreter")
    rep.out("")
    py = sys.executable
    env = dict(os.environ)
    base = [py, "-c", "import os, sys, zlib, base64, codecs, shutil, tempfile, platform"]
    ours = [py, "-c", "import dorvane"]
    a, b = [], []
    for _ in range(max(REPS, 21)):
        for argv, into in ((base, a), (ours, b)):
            t = time.time()
            subprocess.check_call(argv, env=env)
            into.append(time.time() - t)
    diff = (median(b) - median(a)) * 1e3
    v = rep.target("import time over baseline (ms)", diff, 2.0, False, "ms")
    rep.out("baseline %.1f ms, with dorvane %.1f ms: %.2f ms over (target <= 2 ms: %s)" % (
        median(a) * 1e3, median(b) * 1e3, diff, v))
    rep.out("")


CHILD_MEM = r"""
import dorvane, os, resource, sys
src, dst, flt, way = sys.argv[1:5]
(dorvane.compress if way == "c" else dorvane.decompress)(src, dst, flt)
"""

CHILD_LEAK = r"""
import dorvane, gc, os, sys
d, f = sys.argv[1:3]
u = f.decode("ascii")
def rss():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
calls = [lambda: dorvane.exists(f), lambda: dorvane.isfile(u), lambda: dorvane.join(f, u"x"),
         lambda: dorvane.abspath(u), lambda: dorvane.getsize(f), lambda: dorvane.listdir(d)]
for c in calls * 2000: c()
gc.collect(); r0 = rss(); g0 = len(gc.get_objects())
for i in xrange(1000000 // 6):
    for c in calls: c()
gc.collect(); r1 = rss(); g1 = len(gc.get_objects())
print r1 - r0, g1 - g0
"""


def child_peak(argv):
    proc = subprocess.Popen(argv)
    _, status, usage = os.wait4(proc.pid, 0)
    return usage.ru_maxrss * 1024 if status == 0 else None


def bench_memory(rep, path):
    rep.out("### Memory")
    rep.out("")
    py = sys.executable
    size = os.path.getsize(path)
    rep.out("Peak RSS of a Python process doing one dorvane call on the %d MiB file; budget = "
            "1.1 x (input + output) + the multi-threaded tool's own peak + 16 MiB (+ the interpreter's "
            "own footprint, measured with an empty call)." % (size // MiB))
    rep.out("")
    idle = child_peak([py, "-c", "import dorvane"])
    rep.out("| filter | way | peak MiB | budget MiB | |")
    rep.out("|---|---|---|---|---|")
    mt = {"gzip": ["pigz", "-p2", "-6"], "bzip2": ["lbzip2", "-n2", "-9"], "xz": ["xz", "-T2", "-6"],
          "lzma": ["xz", "--format=lzma", "-6"], "lzop": ["lzop", "-3"]}
    for name, _, _ in FILTERS:
        packed = os.path.join(WORK, "ours." + name)
        if not os.path.exists(packed):
            continue
        tool = mt[name]
        if not have(tool[0]):
            tool = [t for n, t, _ in FILTERS if n == name][0]
        _, tool_c = run_tool(tool + ["-c"], path, os.path.join(WORK, "mt.out"))
        _, tool_d = run_tool(decompress_argv(tool), os.path.join(WORK, "mt.out"), os.path.join(WORK, "mt.back"))
        csize = os.path.getsize(packed)
        for way, peak_tool in (("c", tool_c), ("d", tool_d)):
            src, dst = (path, os.path.join(WORK, "mem.out")) if way == "c" else (packed, os.path.join(WORK, "mem.back"))
            peak = child_peak([py, "-c", CHILD_MEM, src, dst, name, way])
            budget = 1.1 * (size + csize) + peak_tool + 16 * MiB + idle
            v = rep.target("%s %s peak RSS (MiB)" % (name, "compress" if way == "c" else "decompress"),
                           peak / float(MiB), budget / float(MiB), False, "MiB")
            rep.out("| %s | %s | %.1f | %.1f | %s |" % (name, "compress" if way == "c" else "decompress",
                                                       peak / float(MiB), budget / float(MiB), v))
    out = subprocess.check_output([py, "-c", CHILD_LEAK, os.path.join(WORK, "dir10"),
                                   os.path.join(WORK, "dir10", "f0")])
    drss, dobj = [int(x) for x in out.split()]
    v1 = rep.target("RSS growth over 1M path calls (bytes)", drss, MiB, False, "B")
    v2 = rep.target("gc objects growth over 1M path calls", dobj, 100, False, "")
    rep.out("")
    rep.out("Over a million calls of the six path functions: RSS grew %d bytes (%s), "
            "gc objects grew %d (%s)." % (drss, v1, dobj, v2))
    rep.out("")


def main():
    if not os.path.isdir(WORK):
        os.makedirs(WORK)
    big = os.path.join(WORK, "data64m")
    small = os.path.join(WORK, "data1m")
    for path, n, seed in ((big, 64 * MiB, 1), (small, MiB, 2)):
        if not os.path.exists(path) or os.path.getsize(path) != n:
            with open(path, "wb") as f:
                f.write(gendata.generate(n, seed))
    sections = sys.argv[1:] or ["codecs", "paths", "magic", "import", "memory"]
    rep = Report()
    started = time.time()
    rep.out("# Benchmark results")
    rep.out("")
    rep.out("Machine: %d cores; load average at start %s; malloc tunables: %s." % (
        os.sysconf("SC_NPROCESSORS_ONLN"), open("/proc/loadavg").read().split()[0],
        os.environ.get("GLIBC_TUNABLES", "default")))
    rep.out("")
    if "codecs" in sections:
        bench_codecs(rep, big, "64 MiB")
        bench_codecs(rep, small, "1 MiB")
    if "paths" in sections:
        bench_paths(rep)
    if "magic" in sections:
        bench_magic(rep)
    if "import" in sections:
        bench_import(rep)
    if "memory" in sections:
        bench_memory(rep, big)
    rep.out("### Targets")
    rep.out("")
    rep.out("| target | measured | goal | |")
    rep.out("|---|---|---|---|")
    for name, value, goal, higher, met, unit in rep.targets:
        rep.out("| %s | %.3f | %s %.3f | %s |" % (name, value, ">=" if higher else "<=", goal,
                                                  "met" if met else "**not met**"))
    rep.out("")
    rep.out("%d of %d targets met; the run took %.0f s." % (
        sum(1 for t in rep.targets if t[4]), len(rep.targets), time.time() - started))
    out = os.environ.get("BENCH_RESULTS", os.path.join(HERE, "results.md"))
    with open(out, "w") as f:
        f.write("\n".join(rep.lines) + "\n")


if __name__ == "__main__":
    main()

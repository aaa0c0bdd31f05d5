"""Round-trips one large file (5 GiB by default: past every 32-bit length
field) through every filter, with the command-line tools on the other side:
our compressed output must decompress with the tool, and the tool's output
must decompress with us, both back to the original bytes.

    make bigfile-test [BIG_GIB=5] [BIG_FILTERS="gzip xz"] [BIG_READ_ONLY="xz lzma"]
                      [BIG_DATA=sparse] [BIG_DIR=/var/tmp] [BIG_MAX_RSS_MIB=1024]

BIG_READ_ONLY names filters checked in the second direction only. xz and
lzma at their default presets compress the mixed data a few MB/s, hours for
5 GiB; BIG_DATA=sparse makes every MiB its index followed by zeros, which
they compress at tens of MB/s while every size field still passes 4 GiB.

Each of our steps runs in a fresh interpreter that reports its peak RSS
(VmHWM); a step over BIG_MAX_RSS_MIB (1024) fails the run.

Needs about three times the size in free disk; not part of `make test`.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

TOOLS = {  # (decompress to stdout, fast compress to stdout)
    "gzip": ("gzip -dc", "gzip -1 -c"),
    "bzip2": ("bzip2 -dc", "bzip2 -1 -c"),
    "lzop": ("lzop -dc", "lzop -1 -c"),
    "xz": ("xz -dc", "xz -0 -c"),
    "lzma": ("xz --format=lzma -dc", "xz --format=lzma -0 -c"),
}
BLOCK = 1 << 20

# One call in a fresh interpreter, so its VmHWM is that call's alone.
STEP = r"""
import sys, time
import dorvane
way, src, dst, name = sys.argv[1:5]
started = time.time()
(dorvane.compress if way == "compress" else dorvane.decompress)(src, dst, name)
print("%s %s" % (time.time() - started,
                 [l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]))
"""


def make_sparse_file(path, size):
    with open(path, "wb") as f:
        for i in range(size // BLOCK):
            header = ("<block %012d>" % i).encode()
            f.write(header + b"\0" * (BLOCK - len(header)))


def make_file(path, size):
    """Every MiB starts with its own index, so a lost, repeated or reordered
    block shows in the comparison; the rest cycles through eight different
    mixes of text and random bytes (repetitive input sends bzip2's sorting
    down its slow path, which is not what this measures)."""
    rng = random.Random(5)
    bases = []
    for k in range(8):
        text = "".join("record %d of mix %d: value %d\n" % (i, k, rng.randrange(10 ** 6))
                       for i in range(24000)).encode()
        noise = bytes(bytearray(rng.randrange(256) for _ in range(BLOCK // 4)))
        bases.append((text + noise) * 2)
    with open(path, "wb") as f:
        for i in range(size // BLOCK):
            header = ("<block %012d>" % i).encode()
            f.write(header + bases[i % 8][len(header):BLOCK])


def same(a, b):
    return subprocess.call(["cmp", "-s", a, b]) == 0


def step(way, src, dst, name):
    """Seconds and peak RSS in MiB of one dorvane call."""
    seconds, kib = subprocess.check_output([sys.executable, "-c", STEP, way, src, dst, name]).decode().split()
    return float(seconds), int(kib) / 1024.0


def run(command):
    started = time.time()
    subprocess.check_call(command, shell=True)
    return time.time() - started


def main():
    size = int(float(os.environ.get("BIG_GIB", "5")) * (1 << 30))
    filters = os.environ.get("BIG_FILTERS", "gzip bzip2 lzop xz lzma").split()
    read_only = os.environ.get("BIG_READ_ONLY", "").split()
    max_rss = float(os.environ.get("BIG_MAX_RSS_MIB", "1024"))
    work = tempfile.mkdtemp(prefix="dorvane-big-", dir=os.environ.get("BIG_DIR") or None)
    failed = []
    try:
        original = os.path.join(work, "original")
        data = os.environ.get("BIG_DATA", "mixed")
        if data not in ("mixed", "sparse"):
            raise SystemExit("BIG_DATA is mixed or sparse, not %r" % data)
        (make_sparse_file if data == "sparse" else make_file)(original, size)
        print("file: %d bytes (%s) in %s" % (os.path.getsize(original), data, work))
        for name in filters:
            decode, encode = TOOLS[name]
            ours, theirs, back = (os.path.join(work, n) for n in ("ours", "theirs", "back"))
            t_ours = t_check = rss_ours = 0
            ok_tool = True
            if name not in read_only:
                t_ours, rss_ours = step("compress", original, ours, name)
                t_check = run("%s < %s > %s" % (decode, ours, back))
                ok_tool = same(original, back)
                os.remove(back)
            else:
                open(ours, "wb").close()
            run("%s < %s > %s" % (encode, original, theirs))
            t_back, rss_back = step("decompress", theirs, back, name)
            ok_ours = same(original, back)
            print("%-6s compress %6.0f s, peak %6.1f MiB -> %11d bytes, tool reads it: %s (%.0f s); "
                  "tool output %11d bytes, we read it: %s (%.0f s, peak %6.1f MiB)" % (
                      name, t_ours, rss_ours, os.path.getsize(ours), "ok" if ok_tool else "MISMATCH", t_check,
                      os.path.getsize(theirs), "ok" if ok_ours else "MISMATCH", t_back, rss_back))
            sys.stdout.flush()
            if max(rss_ours, rss_back) > max_rss:
                print("%-6s peak RSS over BIG_MAX_RSS_MIB=%d" % (name, max_rss))
            if not (ok_tool and ok_ours) or max(rss_ours, rss_back) > max_rss:
                failed.append(name)
            for path in (ours, theirs, back):
                os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("bigfile: %d filters passed, %d failed %s" % (len(filters) - len(failed), len(failed), failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

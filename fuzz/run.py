"""Builds, seeds and runs the libFuzzer targets in fuzz/.

    python2.7 fuzz/run.py smoke [target ...]   # a few seconds each (FUZZ_SMOKE_SECONDS)
    python2.7 fuzz/run.py long  [target ...]   # FUZZ_RUNS executions or FUZZ_SECONDS each,
                                               # FUZZ_JOBS targets at a time

Seeds come from the real command-line tools, generated afresh into
$BUILD/fuzz/seeds; the corpus each target grows stays in $BUILD/fuzz/corpus
and crash inputs go to $BUILD/fuzz/artifacts. When clang's fuzzer runtime
is missing everything is skipped with one line saying so.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zlib
from multiprocessing.pool import ThreadPool

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD_NAME = os.environ.get("BUILD", "build")
FUZZ = os.path.join(ROOT, BUILD_NAME, "fuzz")
CODECS = ["gzip", "bzip2", "lzop", "xz", "lzma"]
TARGETS = ["decode_" + c for c in CODECS] + ["base64", "zlib", "roundtrip"]

# (codec, command writing the compressed form of IN to stdout)
TOOLS = [
    ("gzip", "gzip -c < IN"), ("gzip", "gzip -1 -c IN"), ("gzip", "gzip -9 -c IN"),
    ("bzip2", "bzip2 -c < IN"), ("bzip2", "bzip2 -1 -c IN"),
    ("lzop", "lzop -c < IN"), ("lzop", "lzop -c IN"), ("lzop", "lzop -9 -c < IN"),
    ("lzop", "lzop --crc32 -c < IN"),
    # Small dictionaries: the decoder targets cap memory at 4 MiB (decode.cpp).
    # Tiny blocks written by two threads record their sizes, which sends
    # the reader down its multi-threaded path.
    ("xz", "xz --lzma2=preset=6,dict=64KiB -c < IN"), ("xz", "xz -0 --check=sha256 -c < IN"),
    ("xz", "xz --check=none --lzma2=dict=64KiB -c IN"),
    ("xz", "xz -T2 --block-size=1KiB --lzma2=dict=64KiB --check=crc32 -c IN"),
    ("lzma", "xz --format=lzma --lzma1=preset=6,dict=64KiB -c < IN"), ("lzma", "lzma -1 -c < IN"),
    ("lzma", "xz --format=lzma --lzma1=preset=1,dict=256KiB -c < IN"),
]
# Our own writers add what the tools never write (gzip members that record
# their size, read side by side), so their output seeds these readers too.
OWN_WRITERS = ["gzip", "bzip2", "lzop"]

_rng = random.Random(7)
_NOISE = "".join(chr(_rng.randrange(256)) for _ in range(600))
SAMPLES = {
    "empty": "",
    "byte": "x",
    "text": "the quick brown fox jumps over the lazy dog\n" * 3,
    "noise": _NOISE,
    "mixed": ("abcabcabc" * 300) + _NOISE[:200] + ("\0" * 2000),
}
# Compressed, for the decoder targets only: a few bzip2 blocks at -1 and two
# lzop blocks in a few hundred bytes. (Several members of ours come from
# concatenating our outputs.) Every mutation of it decodes it again, so it
# is kept no larger than that.
LONG = "the quick brown fox jumps over the lazy dog\n" * 7000

# malloc refuses anything over 1 GiB instead of taking seconds under ASan,
# so out-of-memory paths get exercised rather than the fuzzer stalling.
SANITIZERS = {
    "ASAN_OPTIONS": "detect_leaks=1:quarantine_size_mb=32:max_allocation_size_mb=1024:"
                    "allocator_may_return_null=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
}


def toolchain_missing():
    """None when clang can build a fuzzer, else the reason it cannot."""
    cxx = os.environ.get("FUZZ_CXX", "clang++")
    try:
        runtime = subprocess.check_output([cxx, "-print-file-name=libclang_rt.fuzzer-x86_64.a"]).strip()
    except (OSError, subprocess.CalledProcessError):
        return "%s not found" % cxx
    if not os.path.isabs(runtime):  # clang echoes a name it cannot find
        return "%s has no fuzzer runtime (install libclang-rt-14-dev, or run sh scripts/install-deps)" % cxx
    return None


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def compressed_seeds(work):
    """{codec: [compressed samples]} from the tools and our own writers."""
    sys.path.insert(0, os.path.join(ROOT, BUILD_NAME))
    try:
        import ondrel
    except ImportError as e:
        print("fuzz: no seeds from our own writers (%s)" % e)
        ondrel = None
    finally:
        sys.path.pop(0)
    own = OWN_WRITERS if ondrel else []
    made = dict((c, []) for c in CODECS)
    for name, data in sorted(SAMPLES.items()) + [("long", LONG)]:
        source = os.path.join(work, name)
        write(source, data)
        for codec, command in TOOLS:
            made[codec].append(subprocess.check_output(command.replace("IN", source), shell=True))
        for codec in own:
            with ondrel.fstream(source + "." + codec, "w", codec) as f:
                f.write(data)
            made[codec].insert(0, open(source + "." + codec, "rb").read())
    for codec in CODECS:
        if codec != "lzma":  # the tools concatenate members, except .lzma
            made[codec].append(made[codec][0] + made[codec][-1])
    for codec in own:
        # Several of our members or blocks, which the readers decode side by side.
        made[codec].append("".join(made[codec][:3]))
    return made


def seed(targets):
    root = os.path.join(FUZZ, "seeds")
    shutil.rmtree(root, ignore_errors=True)
    work = tempfile.mkdtemp()
    try:
        made = compressed_seeds(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    samples = SAMPLES.values()
    for target in targets:
        if target.startswith("decode_"):
            # Two control bytes: whole-input split, then odd-sized pieces.
            items = [prefix + s for s in made[target[7:]] for prefix in ("\0\0", "\x05\x83")]
        elif target == "base64":
            items = [d.encode("base64") for d in samples] + ["QQ==\n", "QUI=", "####"]
        elif target == "zlib":
            items = [zlib.compress(d, level) for d in samples for level in (1, 9)]
        else:
            items = [chr(k) + "\x11" + d for d in samples for k in range(5)]
        os.makedirs(os.path.join(root, target))
        for i, item in enumerate(items):
            write(os.path.join(root, target, "seed-%03d" % i), item)


def run_target(target, seconds, runs, quiet):
    """Runs one target; returns True when it found nothing."""
    corpus = os.path.join(FUZZ, "corpus", target)
    artifacts = os.path.join(FUZZ, "artifacts")
    logs = os.path.join(FUZZ, "logs")
    for d in (corpus, artifacts, logs):
        if not os.path.isdir(d):
            os.makedirs(d)
    log = os.path.join(logs, target + ".log")
    command = [os.path.join(FUZZ, target), corpus, os.path.join(FUZZ, "seeds", target),
               "-max_total_time=%d" % seconds, "-rss_limit_mb=2560", "-timeout=25",
               "-print_final_stats=1", "-artifact_prefix=%s/%s-" % (artifacts, target)]
    if runs:
        command.append("-runs=%d" % runs)
    started = time.time()
    with open(log, "w") as out:
        status = subprocess.call(command, stdout=out, stderr=subprocess.STDOUT,
                                 env=dict(os.environ, **SANITIZERS))
    text = open(log).read()
    executions = (re.findall(r"stat::number_of_executed_units:\s*(\d+)", text) or ["0"])[-1]
    crash = re.findall(r"^(==\d+==ERROR.*|SUMMARY: .*|fuzz oracle: .*|.*Test unit written to .*)$",
                       text, re.M)
    if not quiet or status != 0:
        print("%-14s %s  %10s execs  %6.0f s  (%s)" % (
            target, "ok  " if status == 0 else "FAIL", executions, time.time() - started,
            "; ".join(crash[:3]) if status != 0 else "log " + os.path.relpath(log, ROOT)))
        sys.stdout.flush()
    return status == 0


def run_all(targets, seconds, runs, jobs, quiet):
    """Builds and seeds `targets`, then runs them `jobs` at a time; returns
    the number that failed."""
    build = os.path.join(BUILD_NAME, "fuzz")
    if subprocess.call(["make", "-s", "BUILD=" + BUILD_NAME] + [os.path.join(build, t) for t in targets],
                       cwd=ROOT) != 0:
        raise SystemExit("fuzz: building the targets failed")
    seed(targets)
    results = ThreadPool(jobs).map(lambda t: run_target(t, seconds, runs, quiet), targets)
    return results.count(False)


def smoke(targets=None, quiet=False):
    """(passed, failed, skip reason or None); what tests/run.py counts."""
    targets = targets or TARGETS
    missing = toolchain_missing()
    if missing:
        print("fuzz smoke skipped: %s" % missing)
        return 0, 0, missing
    seconds = int(os.environ.get("FUZZ_SMOKE_SECONDS", "3"))
    failed = run_all(targets, seconds, 0, 1, quiet)
    print("fuzz smoke: %d targets passed, %d failed (%d s each)" % (len(targets) - failed, failed, seconds))
    return len(targets) - failed, failed, None


def main(argv):
    if len(argv) < 2 or argv[1] not in ("smoke", "long"):
        raise SystemExit(__doc__)
    targets = argv[2:]
    unknown = [t for t in targets if t not in TARGETS]
    if unknown:
        raise SystemExit("fuzz: unknown targets %s (known: %s)" % (unknown, " ".join(TARGETS)))
    if argv[1] == "smoke":
        sys.exit(1 if smoke(targets)[1] else 0)
    missing = toolchain_missing()
    if missing:
        raise SystemExit("fuzz: %s" % missing)
    failed = run_all(targets or TARGETS, int(os.environ.get("FUZZ_SECONDS", "1800")),
                     int(os.environ.get("FUZZ_RUNS", "10000000")), int(os.environ.get("FUZZ_JOBS", "1")), False)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(sys.argv)

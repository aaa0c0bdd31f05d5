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
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
BUILD = os.path.join(ROOT, os.environ.get("BUILD", "build"))
FUZZ = os.path.join(BUILD, "fuzz")
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


def own_writer():
    """ondrel from the build directory, or None when it isn't built."""
    sys.path.insert(0, BUILD)
    try:
        import ondrel
        return ondrel
    except ImportError as e:
        print("fuzz: no seeds from our own writers (%s)" % e)
        return None
    finally:
        sys.path.pop(0)


def samples():
    rng = random.Random(7)
    noise = "".join(chr(rng.randrange(256)) for _ in range(600))
    return {
        "empty": "",
        "byte": "x",
        "text": "the quick brown fox jumps over the lazy dog\n" * 3,
        "noise": noise,
        "mixed": ("abcabcabc" * 300) + noise[:200] + ("\0" * 2000),
    }


# Compressed, for the decoder targets only: a few bzip2 blocks at -1 and two
# lzop blocks in a few hundred bytes. (Several members of ours come from
# concatenating our outputs.) Every mutation of it decodes it again, so it
# is kept no larger than that.
LONG = "the quick brown fox jumps over the lazy dog\n" * 7000


def toolchain_missing():
    """None when clang can build a fuzzer, else the reason it cannot."""
    cxx = os.environ.get("FUZZ_CXX", "clang++")
    work = tempfile.mkdtemp()
    try:
        source = os.path.join(work, "probe.cpp")
        with open(source, "w") as f:
            f.write('#include <cstddef>\n#include <cstdint>\nextern "C" int '
                    'LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n')
        try:
            child = subprocess.Popen([cxx, "-fsanitize=fuzzer,address", source, "-o",
                                      os.path.join(work, "probe")],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        except OSError:
            return "%s not found" % cxx
        out = child.communicate()[0]
        if child.returncode != 0:
            return ("%s cannot link -fsanitize=fuzzer (install libclang-rt-14-dev, or run "
                    "sh scripts/install-deps): %s" % (cxx, (out.strip().splitlines() or ["no output"])[-1]))
        return None
    finally:
        shutil.rmtree(work, ignore_errors=True)


def build(targets):
    command = ["make", "-s", "BUILD=" + os.environ.get("BUILD", "build")]
    command += [os.path.join(os.environ.get("BUILD", "build"), "fuzz", t) for t in targets]
    if subprocess.call(command, cwd=ROOT) != 0:
        raise SystemExit("fuzz: building the targets failed")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def seed(targets):
    """Small seeds from the command-line tools, regenerated every time."""
    root = os.path.join(FUZZ, "seeds")
    shutil.rmtree(root, ignore_errors=True)
    work = tempfile.mkdtemp()
    try:
        made = dict((c, []) for c in CODECS)
        ondrel = own_writer()
        for name, data in sorted(samples().items()) + [("long", LONG)]:
            source = os.path.join(work, name)
            write(source, data)
            for codec, command in TOOLS:
                out = subprocess.check_output(command.replace("IN", source), shell=True)
                made[codec].append(out)
            for codec in OWN_WRITERS if ondrel else []:
                packed = os.path.join(work, name + "." + codec)
                with ondrel.fstream(packed, "w", codec) as f:
                    f.write(data)
                with open(packed, "rb") as f:
                    made[codec].insert(0, f.read())
        for codec in CODECS:
            if codec != "lzma":  # the tools concatenate members, except .lzma
                made[codec].append(made[codec][0] + made[codec][-1])
        for codec in OWN_WRITERS if ondrel else []:
            # Several of our members or blocks, which the readers decode side by side.
            made[codec].append(made[codec][0] + made[codec][1] + made[codec][2])
        for target in targets:
            directory = os.path.join(root, target)
            os.makedirs(directory)
            if target.startswith("decode_"):
                # Two control bytes: whole-input split, then odd-sized pieces.
                items = [prefix + s for s in made[target[7:]] for prefix in ("\0\0", "\x05\x83")]
            elif target == "base64":
                items = [d.encode("base64") for d in samples().values()] + ["QQ==\n", "QUI=", "####"]
            elif target == "zlib":
                items = [zlib.compress(d, level) for d in samples().values() for level in (1, 9)]
            else:
                items = [chr(k) + "\x11" + d for d in samples().values() for k in range(5)]
            for i, item in enumerate(items):
                write(os.path.join(directory, "seed-%03d" % i), item)
    finally:
        shutil.rmtree(work, ignore_errors=True)


# malloc refuses anything over 1 GiB instead of taking seconds under ASan,
# so out-of-memory paths get exercised rather than the fuzzer stalling.
SANITIZERS = {
    "ASAN_OPTIONS": "detect_leaks=1:quarantine_size_mb=32:max_allocation_size_mb=1024:"
                    "allocator_may_return_null=1",
    "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
}


def run_target(target, seconds, runs, quiet):
    """Runs one target; returns (ok, executions, seconds taken, summary line)."""
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
    env = dict(os.environ, **SANITIZERS)
    started = time.time()
    with open(log, "w") as out:
        status = subprocess.call(command, stdout=out, stderr=subprocess.STDOUT, env=env)
    took = time.time() - started
    text = open(log).read()
    executions = re.findall(r"stat::number_of_executed_units:\s*(\d+)", text)
    executions = int(executions[-1]) if executions else 0
    crash = re.findall(r"^(==\d+==ERROR.*|SUMMARY: .*|fuzz oracle: .*|.*Test unit written to .*)$",
                       text, re.M)
    line = "%-14s %s  %10d execs  %6.0f s  (%s)" % (
        target, "ok  " if status == 0 else "FAIL", executions, took,
        "; ".join(crash[:3]) if status != 0 else "log " + os.path.relpath(log, ROOT))
    if not quiet or status != 0:
        print(line)
        sys.stdout.flush()
    return status == 0, executions, took, line


def smoke(targets=None, quiet=False):
    """(passed, failed, skip reason or None); what tests/run.py counts."""
    targets = targets or TARGETS
    missing = toolchain_missing()
    if missing:
        print("fuzz smoke skipped: %s" % missing)
        return 0, 0, missing
    build(targets)
    seed(targets)
    seconds = int(os.environ.get("FUZZ_SMOKE_SECONDS", "3"))
    results = [run_target(t, seconds, 0, quiet) for t in targets]
    passed = sum(1 for r in results if r[0])
    print("fuzz smoke: %d targets passed, %d failed (%d s each)" % (
        passed, len(results) - passed, seconds))
    return passed, len(results) - passed, None


def long_run(targets=None):
    targets = targets or TARGETS
    missing = toolchain_missing()
    if missing:
        raise SystemExit("fuzz: %s" % missing)
    build(targets)
    seed(targets)
    seconds = int(os.environ.get("FUZZ_SECONDS", "1800"))
    runs = int(os.environ.get("FUZZ_RUNS", "10000000"))
    # FUZZ_JOBS targets side by side, each taking the next one off the list.
    pending = list(targets)
    results = []
    lock = threading.Lock()

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                target = pending.pop(0)
            result = run_target(target, seconds, runs, False)
            with lock:
                results.append(result)

    jobs = [threading.Thread(target=worker) for _ in range(int(os.environ.get("FUZZ_JOBS", "1")))]
    for job in jobs:
        job.start()
    for job in jobs:
        job.join()
    return sum(1 for r in results if not r[0])


def main(argv):
    if len(argv) < 2 or argv[1] not in ("smoke", "long"):
        raise SystemExit(__doc__)
    targets = argv[2:]
    unknown = [t for t in targets if t not in TARGETS]
    if unknown:
        raise SystemExit("fuzz: unknown targets %s (known: %s)" % (unknown, " ".join(TARGETS)))
    if argv[1] == "smoke":
        passed, failed, _ = smoke(targets)
        sys.exit(1 if failed else 0)
    sys.exit(1 if long_run(targets) else 0)


if __name__ == "__main__":
    main(sys.argv)

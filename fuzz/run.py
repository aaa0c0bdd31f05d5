"""Builds, seeds and runs the libFuzzer targets in fuzz/; everything stays in
$BUILD/fuzz (seeds made afresh, corpus, artifacts, logs):

    python2.7 fuzz/run.py smoke|long|rate [target ...]   # smoke: FUZZ_SMOKE_SECONDS (3) each; long:
        FUZZ_RUNS executions or FUZZ_SECONDS each, FUZZ_JOBS targets at a time; rate: inputs a second
        over FUZZ_SECONDS (60) each, from a copy of the corpus, so that two builds can be compared
        on the same one (FUZZ_CORPUS names another corpus folder)
"""
import base64
import binascii
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import zlib
from multiprocessing.pool import ThreadPool

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_NAME = os.environ.get("BUILD", "build")
FUZZ = os.path.join(ROOT, BUILD_NAME, "fuzz")
CODECS = ["gzip", "bzip2", "lzop", "xz", "lzma"]
TARGETS = ["decode_" + c for c in CODECS] + ["base64", "zlib", "roundtrip"]

# Commands writing IN compressed to stdout. Small dictionaries: the decoder
# targets cap memory at 4 MiB. Tiny xz blocks written by two threads record
# their sizes, which sends the reader down its multi-threaded path.
TOOLS = {
    "gzip": ["gzip -c < IN", "gzip -1 -c IN", "gzip -9 -c IN"],
    "bzip2": ["bzip2 -c < IN", "bzip2 -1 -c IN"],
    "lzop": ["lzop -c < IN", "lzop -c IN", "lzop -9 -c < IN", "lzop --crc32 -c < IN"],
    "xz": ["xz --lzma2=preset=6,dict=64KiB -c < IN", "xz -0 --check=sha256 -c < IN",
           "xz --check=none --lzma2=dict=64KiB -c IN",
           "xz -T2 --block-size=1KiB --lzma2=dict=64KiB --check=crc32 -c IN"],
    "lzma": ["xz --format=lzma --lzma1=preset=6,dict=64KiB -c < IN", "lzma -1 -c < IN",
             "xz --format=lzma --lzma1=preset=1,dict=256KiB -c < IN"],
}

_rng = random.Random(7)
_NOISE = bytes(bytearray(_rng.randrange(256) for _ in range(600)))
SAMPLES = [b"", b"x", b"the quick brown fox jumps over the lazy dog\n" * 3, _NOISE,
           (b"abcabcabc" * 300) + _NOISE[:200] + (b"\0" * 2000)]
# For the decoders only: a few bzip2 blocks at -1 and two lzop blocks in a few
# hundred bytes, no more, as every mutation decodes it again.
LONG = b"the quick brown fox jumps over the lazy dog\n" * 7000
encodebytes = getattr(base64, "encodebytes", None) or base64.encodestring

# malloc refuses anything over 1 GiB instead of taking seconds under ASan,
# so out-of-memory paths get exercised rather than the fuzzer stalling.
FUZZ_ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:quarantine_size_mb=32:max_allocation_size_mb=1024:"
                                         "allocator_may_return_null=1",
                UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")


def bzip2_block_crc(data):
    crc = 0xffffffff
    for byte in bytearray(data):
        crc ^= byte << 24
        for _ in range(8):
            crc = (crc << 1) ^ 0x104c11db7 if crc & 0x80000000 else crc << 1
    return crc ^ 0xffffffff


def spelled_by_symbol_maps(magic, crc):
    """Plain bytes whose bzip2 block has CRC `crc` and whose symbol maps (all
    sixteen used) spell `magic`, then `crc`: the stream's end or a block start
    where the reader's scanner will look. Every byte value named appears once,
    then 64 bytes whose lowest bits are solved for the CRC, affine in them."""
    maps = [magic >> 32, magic >> 16 & 0xffff, magic & 0xffff, crc >> 16, crc & 0xffff] + [0xffff] * 11
    named = bytearray(v for v in range(256) if maps[v // 16] >> (15 - v % 16) & 1)
    text = lambda flips: bytes(named + bytearray(0xe0 + 2 * (k % 16) ^ (flips >> k & 1) for k in range(64)))
    base, rows = bzip2_block_crc(text(0)), {}
    for k in range(64):
        v, m = bzip2_block_crc(text(1 << k)) ^ base, 1 << k
        while v and v.bit_length() in rows:
            v, m = v ^ rows[v.bit_length()][0], m ^ rows[v.bit_length()][1]
        if v:
            rows[v.bit_length()] = v, m
    want, flips = crc ^ base, 0
    while want:
        want, flips = want ^ rows[want.bit_length()][0], flips ^ rows[want.bit_length()][1]
    return text(flips)


def toolchain_missing():
    """None when clang can build a fuzzer, else the reason it cannot."""
    cxx = os.environ.get("FUZZ_CXX", "clang++")
    try:
        runtime = subprocess.check_output([cxx, "-print-file-name=libclang_rt.fuzzer-x86_64.a"]).strip().decode()
    except (OSError, subprocess.CalledProcessError):
        return "%s not found" % cxx
    if not os.path.isabs(runtime):  # clang echoes a name it cannot find
        return "%s has no fuzzer runtime (install libclang-rt-14-dev, or run sh scripts/install-deps)" % cxx
    return None


def gzip_member(raw, plain, size=None, hcrc=False, field=True):
    """A gzip member around raw deflate data with our size field ("ON"),
    stating `size` (else the member's length); `hcrc` adds a wrong header CRC."""
    head = b"\x1f\x8b\x08" + struct.pack("B", (4 if field else 0) | (2 if hcrc else 0)) + b"\0" * 5 + b"\x03"
    head += b"\x08\x00ON\x04\x00\0\0\0\0" if field else b""
    head += struct.pack("<H", ~zlib.crc32(head) & 0xffff) if hcrc else b""
    member = head + raw + struct.pack("<II", zlib.crc32(plain) & 0xffffffff, len(plain))
    if not field:
        return member
    return member[:16] + struct.pack("<I", len(member) if size is None else size) + member[20:]


def gzip_size_fields():
    """Members whose size field the reader must not believe: one that claims
    4 GiB, one short by a byte before another member, one covering zero
    padding; and members of ours a worker must not take: a header checksum,
    a trailer asking for 8 MiB; and a Huffman code with unused code space,
    with the field and without."""
    text = SAMPLES[2]
    raw = lambda data: zlib.compress(data, 9)[2:-4]
    one = gzip_member(raw(text), text)
    incomplete = binascii.unhexlify("05e0010900000080206cf5ff890401")  # "aaaaa"
    return [gzip_member(raw(text), text, 0xfffffff0), gzip_member(raw(text), text, len(one) - 1) + one,
            gzip_member(raw(text), text, len(one) + 5) + b"\0" * 5, gzip_member(raw(text), text, hcrc=True),
            gzip_member(raw(b"\0" * (8 << 20)), b"\0" * (8 << 20))] + [
        gzip_member(incomplete, b"aaaaa", field=f) for f in (True, False)]


def seed(targets):
    """Writes each target's seeds: the samples, and for the decoders their
    compressed forms from the tools and from our own writers."""
    root = os.path.join(FUZZ, "seeds")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "samples"))
    try:
        import ondrel
    except ImportError as e:
        print("fuzz: no seeds from our own writers (%s)" % e)
        ondrel = None
    packed = dict((c, []) for c in CODECS)
    # Our own writers add what the tools never write (gzip members that
    # record their size, read side by side), so they seed these readers too.
    ours = dict((c, []) for c in ("gzip", "bzip2", "lzop") if ondrel)
    for i, data in enumerate(SAMPLES + [LONG]):
        source = os.path.join(root, "samples", str(i))
        with open(source, "wb") as f:
            f.write(data)
        for codec, commands in TOOLS.items():
            packed[codec] += [subprocess.check_output(c.replace("IN", source), shell=True) for c in commands]
        for codec in ours:
            with ondrel.fstream(source + "." + codec, "w", codec) as f:
                f.write(data)
            ours[codec].append(open(source + "." + codec, "rb").read())
    # Blocks whose symbol maps spell a magic number the reader's scanner cuts at.
    for i, magic in enumerate((0x177245385090, 0x314159265359)):
        source = os.path.join(root, "samples", "spelled-%d" % i)
        with open(source, "wb") as f:
            f.write(spelled_by_symbol_maps(magic, 0x2468ace1))
        packed["bzip2"].append(subprocess.check_output("bzip2 -c < " + source, shell=True))
    made = {"base64": [encodebytes(d) for d in SAMPLES] + [b"QQ==\n", b"QUI=", b"####"],
            "zlib": [zlib.compress(d, level) for d in SAMPLES for level in (1, 9)],
            "roundtrip": [struct.pack("B", k) + b"\x11" + d for d in SAMPLES for k in range(5)]}
    for codec in CODECS:
        own = ours.get(codec, [])
        # A member after another (the tools join no .lzma files), and several
        # of ours, which the readers decode side by side.
        joined = [packed[codec][0] + (own or packed[codec])[-1]] if codec != "lzma" else []
        joined += [b"".join(own[-3:])] if own else []
        # Two control bytes: whole-input split, then odd-sized pieces.
        made["decode_" + codec] = [p + s for s in packed[codec] + own + joined for p in (b"\0\0", b"\x05\x83")]
    made["decode_gzip"] += [p + s for s in gzip_size_fields() for p in (b"\0\0", b"\x05\x83")]
    # A .lzma stating a one-byte size, then damaged data: liblzma's verdict once
    # depended on whether a read stopped within its last few bytes.
    made["decode_lzma"] += [b"\x01\x00" + binascii.unhexlify("5d8200040001000000000000" "00003c41fbffffffe0000000")]
    for target in targets:
        os.makedirs(os.path.join(root, target))
        for i, item in enumerate(made[target]):
            with open(os.path.join(root, target, "seed-%03d" % i), "wb") as f:
                f.write(item)


def run_target(target, seconds, runs, quiet, corpus=None):
    """Runs one target; True when it found nothing. With `corpus`, the target
    starts from a scratch copy of that folder, which it leaves as it was, and
    with a fixed random seed; its rate is printed."""
    log = os.path.join(FUZZ, "logs", target + ".log")
    grows = os.path.join(FUZZ, "corpus", target)
    extra = []
    if corpus:
        grows = os.path.join(FUZZ, "rate", target)
        shutil.rmtree(grows, ignore_errors=True)
        shutil.copytree(os.path.join(corpus, target), grows)
        extra = ["-seed=1"]
    command = [os.path.join(FUZZ, target), grows, os.path.join(FUZZ, "seeds", target)] + extra + [
        "-max_total_time=%d" % seconds, "-runs=%d" % (runs or -1), "-rss_limit_mb=2560", "-timeout=25",
        "-print_final_stats=1", "-artifact_prefix=%s/artifacts/%s-" % (FUZZ, target)]
    with open(log, "w") as out:
        status = subprocess.call(command, stdout=out, stderr=subprocess.STDOUT, env=FUZZ_ENV)
    if not quiet or status != 0:
        text = open(log).read()
        executions = (re.findall(r"stat::number_of_executed_units:\s*(\d+)", text) or ["0"])[-1]
        crash = re.findall(r"==\d+==ERROR.*|SUMMARY: .*|fuzz oracle: .*|.*Test unit written to .*", text)
        rate = " %8.1f/s" % (int(executions) / float(seconds)) if corpus else ""
        print("%-14s %s  %10s execs%s  (%s)" % (target, "FAIL" if status else "ok  ", executions, rate,
                                                "; ".join(crash[:3]) if status else os.path.relpath(log, ROOT)))
        sys.stdout.flush()
    return status == 0


def fuzz(targets, seconds, runs=0, jobs=1, quiet=False, corpus=None):
    """Builds, seeds, runs `targets` `jobs` at a time: (passed, failed, why nothing ran or None)."""
    missing = toolchain_missing()
    if missing:
        print("fuzz skipped: %s" % missing)
        return 0, 0, missing
    binaries = [os.path.join(BUILD_NAME, "fuzz", t) for t in targets]
    if subprocess.call(["make", "-s", "BUILD=" + BUILD_NAME] + binaries, cwd=ROOT) != 0:
        raise SystemExit("fuzz: building the targets failed")
    seed(targets)
    for d in ["artifacts", "logs"] + ["corpus/" + t for t in targets]:
        if not os.path.isdir(os.path.join(FUZZ, d)):
            os.makedirs(os.path.join(FUZZ, d))
    failed = ThreadPool(jobs).map(lambda t: run_target(t, seconds, runs, quiet, corpus), targets).count(False)
    print("fuzz: %d targets passed, %d failed (%d s each)" % (len(targets) - failed, failed, seconds))
    return len(targets) - failed, failed, None


def smoke(targets=None, quiet=False):
    """What tests/run.py counts."""
    return fuzz(targets or TARGETS, int(os.environ.get("FUZZ_SMOKE_SECONDS", "3")), quiet=quiet)


def main(argv):
    unknown = sorted(set(argv[2:]) - set(TARGETS))
    if argv[1:2] not in (["smoke"], ["long"], ["rate"]) or unknown:
        raise SystemExit("%s\ntargets: %s; unknown: %s" % (__doc__, " ".join(TARGETS), unknown or "none"))
    setting = lambda name, default: int(os.environ.get(name, default))
    if argv[1] == "smoke":
        _, failed, missing = smoke(argv[2:])
    elif argv[1] == "rate":
        corpus = os.path.abspath(os.environ.get("FUZZ_CORPUS", os.path.join(FUZZ, "corpus")))
        _, failed, missing = fuzz(argv[2:] or TARGETS, setting("FUZZ_SECONDS", 60), corpus=corpus)
    else:
        _, failed, missing = fuzz(argv[2:] or TARGETS, setting("FUZZ_SECONDS", 1800),
                                  setting("FUZZ_RUNS", 10000000), setting("FUZZ_JOBS", 1))
    # A long pass that cannot run at all is a failure; a smoke pass skips.
    sys.exit(1 if failed or (missing and argv[1] != "smoke") else 0)


if __name__ == "__main__":
    main(sys.argv)

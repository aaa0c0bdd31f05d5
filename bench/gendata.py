"""Reproducible benchmark input: interleaved 4-64 KiB pieces, about a third
each of English-like text, byte ramps and random bytes.

The same seed gives the same bytes under Python 2.7 and 3.x, so that runs on
either interpreter (and the results already published) share one input. The
random module's own randint, choice and paretovariate draw differently on
3.x; only random() and getrandbits() agree, so everything is drawn from them,
the way 2.7 draws.
"""
import binascii
import random
import struct
import sys

WORDS = ("the of and to in is was that for on with as by at from his her it an "
         "which be this are or had not but were they have one all their there been "
         "would has when who will more if no out so said what up its about into than "
         "them can only other new some could time these two may then do first any my "
         "now such like our over man me even most made after also did many before must "
         "through back years where much your way well down should because each just "
         "those people how too little state good very make world still own see men work "
         "long get here between both life being under never day same another know while "
         "last might us great old year off come since against go came right used take "
         "three compression window dictionary stream block member archive header").split()


def randint(rng, a, b):
    return a + int(rng.random() * (b - a + 1))


def choice(rng, seq):
    return seq[int(rng.random() * len(seq))]


def pareto(rng, alpha):
    return 1.0 / pow(1.0 - rng.random(), 1.0 / alpha)


def text_piece(rng, size):
    out = []
    n = 0
    line = 0
    while n < size:
        w = WORDS[min(int(pareto(rng, 1.1)) - 1, len(WORDS) - 1)] if rng.random() < 0.7 \
            else choice(rng, WORDS)
        if line == 0:
            w = w.capitalize()
        out.append(w)
        n += len(w) + 1
        line += len(w) + 1
        if line > 60 + randint(rng, 0, 15):
            out.append(".\n" if rng.random() < 0.5 else ",\n")
            line = 0
        else:
            out.append(" ")
    return "".join(out)[:size].encode("ascii")


def ramp_piece(rng, size):
    start = randint(rng, 0, 255)
    step = choice(rng, (1, 1, 1, 2, 3, 255))
    width = choice(rng, (1, 1, 2, 4))
    # A ramp of `width`-byte counters: regular, but not a single run.
    vals = []
    v = start
    count = size // width + 1
    if width == 1:
        period = bytes(bytearray((start + step * i) & 0xff for i in range(256)))
        return (period * (size // 256 + 1))[:size]
    fmt = {2: ">H", 4: ">I"}[width]
    mask = (1 << (8 * width)) - 1
    for i in range(count):
        vals.append(struct.pack(fmt, v & mask))
        v += step
    return b"".join(vals)[:size]


def random_piece(rng, size):
    return bytes(bytearray(rng.getrandbits(8) for _ in range(size))) if size < 64 else \
        binascii.unhexlify("%0*x" % (size * 2, rng.getrandbits(size * 8)))


def generate(total, seed):
    rng = random.Random(seed)
    kinds = (text_piece, ramp_piece, random_piece)
    parts = []
    n = 0
    while n < total:
        size = min(randint(rng, 4 << 10, 64 << 10), total - n)
        parts.append(choice(rng, kinds)(rng, size))
        n += size
    return b"".join(parts)


def main():
    total = int(sys.argv[1])
    path = sys.argv[2]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    with open(path, "wb") as f:
        f.write(generate(total, seed))


if __name__ == "__main__":
    main()

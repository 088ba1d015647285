#!/usr/bin/env python3
"""Writes the seed corpus of the gateway fuzz target (tests/fuzz/corpus/).

Each seed is one call in the byte layout that gateway_fuzz.cpp reads: good
calls of several shapes and caller modes, and one call per refusal rule, so
that fuzzing starts next to every branch of the call checks.
Usage: tests/fuzz/make_corpus.py [FOLDER]
"""
import os
import sys

SINGLE = 0x00            # class byte: real single
DOUBLE = 0xE0 + 6        # real double
CELL = 0xE0 + 1
STRUCT = 0xE0 + 2
COMPLEX_SINGLE = 0xE0 + 17 + 1

CANONICAL, LIKE_U, CUBE3, CUBE5, SCALAR, EXPLICIT, ROW, HUGE_EMPTY = range(8)
HUGE = {0: 0, 1: 1, 2: 2, 46340: 3, 46341: 4, 32768: 5, 65536: 6, 2**31 - 1: 7}
BYTES, CONSTANT, GENERATED, ZEROS = range(4)


def arg(cls=SINGLE, shape=(CANONICAL,), fill=(GENERATED, 0x12, 0x34, 0x56, 0x78)):
    return bytes([cls, *shape, *fill])


def call(u_dims, nrhs=17, nlhs=1, mode=0, replace=None, extra=0, dt_fill=(CONSTANT, 97)):
    """A well-formed call on u of u_dims, with the inputs in `replace`
    (position -> bytes) swapped in."""
    replace = replace or {}
    args = [arg(shape=(CANONICAL, *u_dims))]
    args += [arg(fill=(GENERATED, 0, 0, i, 1 + i)) for i in range(1, 16)]
    args.append(arg(fill=dt_fill))  # dt = (97 - 96) / 32
    args += [arg(cls=DOUBLE, shape=(SCALAR,)) for _ in range(extra)]
    for position, a in replace.items():
        args[position] = a
    return bytes([nrhs, nlhs | (mode << 2)]) + b"".join(args[:nrhs])


def seeds():
    yield "good-4x3x2", call((4, 3, 2))
    yield "good-1x1x1", call((1, 1, 1))
    yield "good-empty-0x3x2", call((0, 3, 2))
    yield "good-plane-5x4", call((5, 4, 1))
    yield "good-6x6x6-no-output", call((6, 6, 6), nlhs=0)
    yield "good-ftz-daz", call((3, 2, 4), mode=1)
    yield "good-toward-zero", call((2, 5, 3), mode=2)
    yield "good-upward-ftz", call((4, 4, 2), mode=3)
    yield "good-nasty-values", call(
        (3, 3, 3), replace={0: arg(shape=(CANONICAL, 3, 3, 3), fill=(BYTES, *range(0xC0, 0xDB)))})
    yield "good-4d-u", call((2, 3, 2), replace={0: arg(shape=(EXPLICIT, 4, 2, 3, 2, 2))})
    yield "good-long-stencils-dt-and-extras", call(
        (3, 2, 2), nrhs=20, extra=3,
        replace={8: arg(shape=(ROW, 200)), 12: arg(shape=(ROW, 255)),
                 16: arg(shape=(ROW, 3), fill=(BYTES, 98, 0xCA, 0xCA))})
    yield "good-nan-dt", call((3, 3, 2), dt_fill=(CONSTANT, 0xCA))
    yield "good-inf-dt", call((3, 3, 2), dt_fill=(CONSTANT, 0xC8))
    yield "bad-nargin-0", bytes([0, 1])
    yield "bad-nargin-16", call((2, 2, 2), nrhs=16)
    yield "bad-complex-u", call((2, 2, 2), replace={0: arg(cls=COMPLEX_SINGLE, shape=(CANONICAL, 2, 2, 2))})
    yield "bad-double-dt", call((2, 2, 2), replace={16: arg(cls=DOUBLE, shape=(SCALAR,))})
    yield "bad-cell-t33", call((2, 2, 2), replace={6: arg(cls=CELL, shape=(LIKE_U,))})
    yield "bad-struct-k12", call((2, 2, 2), replace={13: arg(cls=STRUCT, shape=(CUBE5,))})
    yield "bad-too-large", call((2, 2, 2), replace={0: arg(shape=(HUGE_EMPTY, HUGE[65536], HUGE[32768], HUGE[1]))})
    yield "bad-too-large-max-extents", call(
        (2, 2, 2), replace={0: arg(shape=(HUGE_EMPTY, HUGE[2**31 - 1], HUGE[2**31 - 1], HUGE[2**31 - 1]))})
    yield "bad-volume-size", call((2, 2, 2), replace={0: arg(shape=(HUGE_EMPTY, HUGE[46340], HUGE[46340], HUGE[1]))})
    yield "bad-tensor-size", call((4, 3, 2), replace={4: arg(shape=(EXPLICIT, 3, 4, 3, 3))})
    yield "bad-stencil-26", call((2, 2, 2), replace={7: arg(shape=(ROW, 26))})
    yield "bad-stencil-124", call((2, 2, 2), replace={14: arg(shape=(ROW, 124))})
    yield "bad-empty-dt", call((2, 2, 2), replace={16: arg(shape=(EXPLICIT, 2, 1, 0))})


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus of qd520-gop-fuzz into Fuzz/Corpus (or the
directory given), one small binary file per case, in the input format of
Qdl520GopFuzz.cpp (see README.md). Files of the directory that this script
does not write are removed, so the directory is exactly the list below.

    python3 Fuzz/make-seeds.py [DIRECTORY]
"""

import os
import struct
import sys

MODES = [(640, 480), (800, 600), (1024, 768)]
U64 = (1 << 64) - 1

# --------------------------------------------------------------------------
# Fields
# --------------------------------------------------------------------------


def header(start_mode):
    """Byte 0: the start mode (low three bits: 0-5 mode 0, 6 mode 1, 7 mode 2)."""
    return bytes([{0: 0, 1: 6, 2: 7}[start_mode]])


def flags(tpl="application", fail=False, null=False, null_size=False, misalign=0):
    assert 0 <= misalign <= 7
    level = {"application": 0, "callback": 1, "notify": 2}[tpl]
    return bytes([level | (4 if fail else 0) | (8 if null else 0) | (16 if null_size else 0) | (misalign << 5)])


def operation(value):
    """BltOperation: 0-4 in one byte, 4-27 in one byte, anything else in five."""
    if 0 <= value <= 4:
        return bytes([value])
    if 4 <= value <= 27:
        return bytes([0xE0 + value - 4])
    return bytes([0xF8]) + struct.pack("<I", value & 0xFFFFFFFF)


# A size or coordinate draw. A plain integer is encoded as the shortest
# exact form; the classes below are resolved against the mode current at the
# call, so that mutations stay near the edges in every mode.
def edge(d):
    """Resolution of the axis + d, -16 <= d <= 15."""
    assert -16 <= d <= 15
    return bytes([0x40 | (d + 16)])


def fit(d):
    """Coordinate: resolution - size + d (d = 0 ends exactly at the edge).
    Size: d - 16 + 16, i.e. d (mod 2^64) for -16 <= d <= 15."""
    assert -16 <= d <= 15
    return bytes([0x60 | (d + 16)])


def top(k):
    """2^64 - 1 - k, 0 <= k <= 31."""
    assert 0 <= k <= 31
    return bytes([0xC0 | k])


def wrap(k):
    """Coordinate: 2^64 - size + k, so that coordinate + size wraps to k.
    Size: 2^64 - resolution + k."""
    assert 0 <= k <= 31
    return bytes([0xE0 | k])


def value(v):
    if isinstance(v, bytes):
        return v
    v &= U64
    if v < 32:
        return bytes([v])
    if v < 8192:
        return bytes([0x20 | (v >> 8), v & 0xFF])
    if U64 - v < 32:
        return top(U64 - v)
    if v < (1 << 32):
        return bytes([0x80]) + struct.pack("<I", v)
    return bytes([0xA0]) + struct.pack("<Q", v)


# Delta draws.
def delta(v):
    if isinstance(v, bytes):
        return v
    v &= U64
    if v == 0:
        return bytes([0x00])
    if v < 32:
        return bytes([0x80 | v])
    if v < 8192:
        return bytes([0xA0 | (v >> 8), v & 0xFF])
    if U64 - v < 32:
        return bytes([0xE0 | (U64 - v)])
    return bytes([0xC0]) + struct.pack("<Q", v)


def pitch(d):
    """Width x 4 + d, -16 <= d <= 15: odd and short pitches."""
    assert -16 <= d <= 15
    return bytes([0x40 | (d + 16)])


def padded(k):
    """Width x 4 + 4k, 0 <= k <= 31."""
    assert 0 <= k <= 31
    return bytes([0x60 | k])


# Mode number draws.
def mode(v):
    if v == "current":
        return bytes([0x00])
    if v in (0, 1, 2):
        return bytes([0x02 | (v << 3)])
    if 3 <= v <= 34:
        return bytes([0x05 | ((v - 3) << 3)])
    specials = {0xFFFF: 0, 0x7FFFFFFF: 1, 0x80000000: 2, 0xFFFFFFFF: 3}
    if v in specials:
        return bytes([0x06 | (specials[v] << 3)])
    return bytes([0x07]) + struct.pack("<I", v & 0xFFFFFFFF)


# --------------------------------------------------------------------------
# Calls
# --------------------------------------------------------------------------
FILL, TO_BUFFER, TO_VIDEO, VIDEO_TO_VIDEO = 0, 1, 2, 3


def blt(op, width, height, sx=0, sy=0, dx=0, dy=0, d=0, **flag_args):
    return (bytes([0x00]) + flags(**flag_args) + operation(op) + value(width) + value(height) +
            value(sx) + value(sy) + value(dx) + value(dy) + delta(d))


def query(number, **flag_args):
    return bytes([0x0D]) + flags(**flag_args) + mode(number)


def set_mode(number, **flag_args):
    return bytes([0x0F]) + flags(**flag_args) + mode(number)


def seeds():
    s = {}

    # Fills: the whole screen, the exact right and bottom edges and one past.
    s["fill-whole-screen"] = header(0) + blt(FILL, 640, 480)
    s["fill-right-edge"] = header(0) + blt(FILL, 40, 3, dx=600, dy=7) + blt(FILL, 41, 3, dx=600, dy=20)
    s["fill-bottom-edge"] = header(0) + blt(FILL, 5, 30, dx=9, dy=450) + blt(FILL, 5, 31, dx=30, dy=450)
    s["fill-fit-edges-mode1"] = header(1) + blt(FILL, 17, 9, dx=fit(0), dy=fit(0)) + blt(FILL, 17, 9, dx=fit(1), dy=fit(-1))
    s["fill-fit-edges-mode2"] = header(2) + blt(FILL, 1, 1, dx=fit(0), dy=fit(0)) + blt(FILL, edge(0), edge(0))
    s["fill-wrapping-sums"] = (header(0) + blt(FILL, 16, 4, dx=wrap(0)) + blt(FILL, 16, 4, dy=wrap(3)) +
                               blt(FILL, 16, 4, dx=wrap(8), dy=wrap(8)) + blt(FILL, wrap(1), 1) + blt(FILL, 1, wrap(2)))
    s["fill-near-2-64"] = header(0) + blt(FILL, top(0), 1) + blt(FILL, 1, top(0)) + blt(FILL, 2, 2, dx=top(1), dy=top(5))
    s["fill-source-ignored"] = header(0) + blt(FILL, 8, 8, sx=top(0), sy=(1 << 63), dx=100, dy=100)
    s["fill-misaligned-pixel"] = (header(0) + blt(FILL, 7, 3, dx=1, dy=1, misalign=1) +
                                  blt(FILL, 8, 3, dx=2, dy=5, misalign=2) + blt(FILL, 9, 3, dx=3, dy=9, misalign=3) +
                                  blt(FILL, 6, 3, dx=4, dy=13, misalign=4))
    s["fill-at-callback-and-notify"] = header(0) + blt(FILL, 3, 3, tpl="callback") + blt(FILL, 3, 3, dx=5, tpl="notify")

    # Empty rectangles, unknown operations, missing buffers.
    s["zero-width-height"] = header(0) + b"".join(
        blt(op, w, h, tpl="callback") for op in range(4) for (w, h) in ((0, 1), (1, 0), (0, 0)))
    s["operation-4-and-beyond"] = (header(0) + blt(4, 1, 1) + blt(5, 1, 1) + blt(27, 1, 1, tpl="notify") +
                                   blt(0x80000000, 1, 1) + blt(0xFFFFFFFF, 1, 1) + blt(0x12345678, 640, 480))
    s["null-buffer"] = (header(0) + blt(FILL, 1, 1, null=True) + blt(TO_BUFFER, 1, 1, null=True) +
                        blt(TO_VIDEO, 1, 1, null=True, tpl="notify") + blt(VIDEO_TO_VIDEO, 4, 4, dx=8, null=True) +
                        blt(4, 1, 1, null=True) + blt(FILL, 1, 1, dx=640, null=True))

    # Video to buffer: checks only its source.
    s["to-buffer-delta-0"] = header(0) + blt(TO_BUFFER, 6, 5, sx=3, sy=4)
    s["to-buffer-destination-beyond-screen"] = header(0) + blt(TO_BUFFER, 4, 2, sx=1, sy=1, dx=900, dy=700, d=4 * 910)
    s["to-buffer-odd-and-short-pitches"] = (header(0) + blt(TO_BUFFER, 5, 4, sx=1, d=pitch(1)) +
                                            blt(TO_BUFFER, 5, 4, sx=2, d=pitch(-3)) + blt(TO_BUFFER, 4, 6, d=3) +
                                            blt(TO_BUFFER, 8, 3, dx=1, dy=2, d=pitch(-16)) + blt(TO_BUFFER, 2, 9, d=1))
    s["to-buffer-misaligned"] = header(0) + b"".join(
        blt(TO_BUFFER, 4 + (m % 2), 3, sx=m, sy=m, dx=1, d=padded(1), misalign=m) for m in range(8))
    s["to-buffer-huge-delta-one-row"] = header(0) + blt(TO_BUFFER, 10, 1, sx=5, sy=5, d=U64) + blt(TO_BUFFER, 10, 1, d=(1 << 63))
    s["to-buffer-source-edges"] = (header(0) + blt(TO_BUFFER, 20, 10, sx=fit(0), sy=fit(0)) +
                                   blt(TO_BUFFER, 20, 10, sx=fit(1), sy=0) + blt(TO_BUFFER, 20, 10, sx=wrap(0)))
    s["to-buffer-whole-screen-mode2"] = header(2) + blt(TO_BUFFER, edge(0), edge(0))

    # Buffer to video: checks only its destination.
    s["to-video-width-3-and-2"] = header(0) + blt(TO_VIDEO, 3, 4, dx=10, dy=10) + blt(TO_VIDEO, 2, 4, dx=21, dy=10)
    s["to-video-misaligned"] = header(0) + b"".join(
        blt(TO_VIDEO, 2 + m, 2, sx=m % 3, sy=1, dx=8 * m + 1, dy=m, d=pitch(m - 8), misalign=m) for m in range(8))
    s["to-video-odd-offsets"] = header(0) + blt(TO_VIDEO, 6, 3, dx=1, dy=0) + blt(TO_VIDEO, 6, 3, dx=3, dy=3, d=padded(3))
    s["to-video-source-coordinates"] = header(1) + blt(TO_VIDEO, 7, 5, sx=300, sy=40, dx=fit(0), dy=fit(0), d=4 * 320)
    s["to-video-destination-edges"] = (header(0) + blt(TO_VIDEO, 40, 2, dx=600, dy=478) + blt(TO_VIDEO, 40, 2, dx=601, dy=0) +
                                       blt(TO_VIDEO, 40, 2, dx=0, dy=479) + blt(TO_VIDEO, 2, 2, dx=top(0)) +
                                       blt(TO_VIDEO, 2, 2, sx=top(0), sy=top(0), dx=5, dy=5, tpl="notify"))
    s["to-video-zero-pitch-bytes"] = header(0) + blt(TO_VIDEO, 4, 4, d=1, misalign=3) + blt(TO_VIDEO, 4, 4, dx=5, d=5, misalign=1)

    # Video to video.
    s["move-scroll-up"] = header(0) + blt(TO_VIDEO, 640, 2, dy=0) + blt(VIDEO_TO_VIDEO, 640, 479, sy=1, dy=0)
    s["move-scroll-down"] = header(0) + blt(FILL, 640, 1) + blt(VIDEO_TO_VIDEO, 640, 479, sy=0, dy=1)
    s["move-overlapping-sideways"] = (header(0) + blt(VIDEO_TO_VIDEO, 50, 20, sx=10, sy=10, dx=13, dy=10) +
                                      blt(VIDEO_TO_VIDEO, 50, 20, sx=13, sy=11, dx=10, dy=9) +
                                      blt(VIDEO_TO_VIDEO, 3, 3, sx=1, sy=1, dx=2, dy=2))
    s["move-edges"] = (header(0) + blt(VIDEO_TO_VIDEO, 40, 30, sx=600, sy=450, dx=0, dy=0) +
                       blt(VIDEO_TO_VIDEO, 40, 30, sx=601, sy=450) + blt(VIDEO_TO_VIDEO, 40, 30, dx=0, dy=451) +
                       blt(VIDEO_TO_VIDEO, 40, 30, sx=wrap(0), dx=5) + blt(VIDEO_TO_VIDEO, 2, 2, dx=top(0)))
    s["move-mode2-whole-screen"] = header(2) + blt(VIDEO_TO_VIDEO, edge(0), edge(-1), sy=1) + blt(VIDEO_TO_VIDEO, 1024, 768)

    # Modes.
    s["set-mode-each"] = header(0) + set_mode(1) + blt(FILL, 800, 600, dx=0) + set_mode(2) + blt(FILL, 2, 2, dx=fit(0), dy=fit(0))
    s["set-mode-back-to-0"] = header(2) + blt(FILL, 1024, 1) + set_mode(0) + blt(TO_BUFFER, 640, 480) + set_mode(2)
    s["set-mode-current"] = header(0) + blt(FILL, 5, 5) + set_mode("current") + set_mode(0, tpl="notify") + blt(TO_BUFFER, 5, 5)
    s["set-mode-invalid"] = header(1) + b"".join(set_mode(v) for v in (3, 4, 34, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x10000))
    s["set-mode-out-of-memory"] = (header(0) + blt(FILL, 9, 9) + set_mode(2, fail=True) + blt(VIDEO_TO_VIDEO, 4, 4, dx=10) +
                                   blt(FILL, 4, 4, dx=20) + set_mode(0) + blt(VIDEO_TO_VIDEO, 4, 4, dx=30) +
                                   set_mode(1) + blt(VIDEO_TO_VIDEO, 4, 4, dx=40))
    s["set-mode-out-of-memory-twice"] = (header(1) + set_mode(0, fail=True) + set_mode(2, fail=True, tpl="callback") +
                                         blt(VIDEO_TO_VIDEO, 1, 1, sx=fit(0), sy=fit(0)) + query(1) + set_mode(0) +
                                         blt(VIDEO_TO_VIDEO, 640, 480))
    s["set-mode-fail-flag-ignored"] = header(0) + set_mode(0, fail=True) + set_mode(3, fail=True) + blt(FILL, 1, 1, fail=True)
    s["query-each-mode"] = header(0) + query(0) + query(1) + query(2, tpl="notify") + query("current", tpl="callback")
    s["query-invalid"] = (header(0) + query(0, null=True) + query(1, null_size=True) + query(2, null=True, null_size=True) +
                          query(3) + query(0xFFFFFFFF) + query(0x80000000, fail=True) + query(7))
    s["query-out-of-memory"] = header(2) + query(0, fail=True) + query(2, fail=True, tpl="notify") + query(1)
    s["start-mode1-edges"] = header(1) + blt(FILL, 800, 600) + blt(TO_BUFFER, 1, 600, sx=799) + blt(VIDEO_TO_VIDEO, 1, 1, sx=799, sy=599)
    s["mixed-sequence"] = (header(0) + blt(TO_VIDEO, 32, 16, dx=64, dy=64, d=padded(2), misalign=2) + query(1) +
                           blt(VIDEO_TO_VIDEO, 32, 16, sx=64, sy=64, dx=70, dy=60, tpl="callback") +
                           blt(TO_BUFFER, 32, 16, sx=70, sy=60, dx=3, dy=2, d=pitch(5), misalign=5) +
                           set_mode(1) + blt(FILL, edge(-16), 1, dy=fit(0), misalign=7))
    return s


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "Corpus")
    os.makedirs(directory, exist_ok=True)
    cases = seeds()
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if os.path.isfile(path) and name not in cases:
            os.remove(path)
    for name, data in sorted(cases.items()):
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)
    print("%d seeds in %s" % (len(cases), directory))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the example firmware portions and image for kelva-demo.upd.

The bytes are made up: each portion is a run of SysEx messages
    F0 00 00 0E 00 <7-bit data...> F7
with a message counter and pseudo-random data from a fixed seed, every eighth
message followed by a 0A byte as the device's own dumps have them. Running the
script again writes the same bytes.

Usage: make-syx.py [OUTDIR]   (default: the folder this script is in)
"""

import os
import sys

HEADER = bytes([0xF0, 0x00, 0x00, 0x0E, 0x00])
END = 0xF7
LINE_END = 0x0A

# (file name, size in bytes, seed)
PORTIONS = [
    ("kelva-1.syx", 96 * 1024, 0x4B454C31),
    ("kelva-2.syx", 128 * 1024, 0x4B454C32),
    ("kelva-3.syx", 64 * 1024, 0x4B454C33),
]
IMAGE = ("kelva-image.bin", 4 * 1024, 0x494D4147)

MIN_DATA = 200
MAX_DATA = 1000


class XorShift32:
    """A small generator whose sequence does not depend on the Python version."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x


def message(rng, counter, data_size):
    # Two counter bytes, then data; every byte between the header and F7 is 7-bit.
    data = bytearray([(counter >> 7) & 0x7F, counter & 0x7F])
    data.extend(rng.next() & 0x7F for _ in range(data_size - 2))
    return HEADER + bytes(data) + bytes([END])


def portion(size, seed):
    rng = XorShift32(seed)
    out = bytearray()
    counter = 0
    overhead = len(HEADER) + 1
    while True:
        remaining = size - len(out)
        # The last message takes what is left, so the file has exactly `size` bytes and ends with F7.
        if remaining <= overhead + MAX_DATA + 1 + overhead + MIN_DATA:
            out += message(rng, counter, remaining - overhead)
            break
        out += message(rng, counter, MIN_DATA + rng.next() % (MAX_DATA - MIN_DATA + 1))
        counter += 1
        if counter % 8 == 0:
            out.append(LINE_END)
    assert len(out) == size and out[0] == 0xF0 and out[-1] == END
    return bytes(out)


def image(size, seed):
    rng = XorShift32(seed)
    return bytes(rng.next() & 0xFF for _ in range(size))


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(outdir, exist_ok=True)
    files = [(name, portion(size, seed)) for name, size, seed in PORTIONS]
    files.append((IMAGE[0], image(IMAGE[1], IMAGE[2])))
    for name, data in files:
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

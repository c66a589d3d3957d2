#!/usr/bin/env python3
"""Writes SIZE bytes of firmware-like SysEx for the kernel tests: messages
    F0 00 00 0E 00 <two counter bytes> <pseudo-random 7-bit data> F7
of MIN to MAX bytes each (the last one takes what is left, so the file has exactly SIZE bytes).
The counter and the random data make every lost, repeated or displaced byte show in a compare.

usage: make-sysex.py OUT SIZE SEED [MIN MAX]     (default 200 1000; MIN = MAX for equal messages)
"""

import sys

HEADER = bytes([0xF0, 0x00, 0x00, 0x0E, 0x00])


def main():
    out, size, seed = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3], 0)
    low, high = (int(sys.argv[4], 0), int(sys.argv[5], 0)) if len(sys.argv) > 5 else (200, 1000)
    state = seed & 0xFFFFFFFF or 1

    def rand():
        nonlocal state
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        return state

    data = bytearray()
    counter = 0
    while len(data) < size:
        length = low + rand() % (high - low + 1)
        remaining = size - len(data)
        if remaining - length < low:
            length = remaining
        body = length - len(HEADER) - 1
        message = bytearray(HEADER)
        message += bytes([(counter >> 7) & 0x7F, counter & 0x7F])
        message += bytes(rand() & 0x7F for _ in range(body - 2))
        message.append(0xF7)
        data += message
        counter = (counter + 1) & 0x3FFF
    assert len(data) == size and data[0] == 0xF0 and data[-1] == 0xF7
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()

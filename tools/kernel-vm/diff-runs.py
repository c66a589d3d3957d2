#!/usr/bin/env python3
"""Says how a received file differs from what was sent: the runs of differing bytes, and for each
run where its bytes came from in what was sent (K bytes earlier or later), so that a corruption can
be traced to the buffer whose size K is.

usage: diff-runs.py SENT RECEIVED    prints "identical" or one line per run (at most 8) and a summary
"""

import sys


def main():
    sent = open(sys.argv[1], "rb").read()
    got = open(sys.argv[2], "rb").read()
    if sent == got:
        print("identical")
        return
    length = min(len(sent), len(got))
    runs = []
    i = 0
    while i < length:
        if sent[i] == got[i]:
            i += 1
            continue
        start = i
        end = i
        # A run goes on over short stretches of equal bytes (7-bit data can match by chance).
        while i < length and i - end <= 16:
            if sent[i] != got[i]:
                end = i
            i += 1
        runs.append((start, end + 1))
        i = end + 1
    lines = []
    shifts = set()
    for start, end in runs:
        probe = got[start:start + min(32, end - start)]
        found = sent.find(probe, max(0, start - 2 * 1024 * 1024))
        where = "not found in what was sent"
        if found >= 0:
            shift = start - found
            shifts.add(shift)
            where = f"= sent bytes {shift} earlier" if shift > 0 else f"= sent bytes {-shift} later"
        lines.append(f"  run at {start}, {end - start} bytes: {where}")
    for line in lines[:8]:
        print(line)
    print(f"DIFFERS: {len(sent)} sent, {len(got)} received, {len(runs)} runs, "
          f"{sum(e - s for s, e in runs)} bytes in runs, shifts {sorted(shifts)}")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""What a wrong x-oss-hash-crc64ecma header costs the publisher: the egress of N open windows over
one hour, with the restart at once after every mismatch, and with the waits the program takes
(at once, then 3 s doubling to 2 minutes, each shortened at random by up to a fifth). No network:
each window is a sequence of attempts, each a HEAD and a whole GET at the window's own rate.

    python3 docs/simulate_egress.py [--windows 10000] [--sample 2000] [--seed 1]

A sample of windows, each opened at a random moment of the hour before the header went wrong, is
simulated and scaled to --windows. Prints one table row per file size and download rate.
"""

import argparse
import random

HOUR = 3600.0
HEAD_SECONDS = 0.1  # one HEAD exchange, TLS handshake included
FIRST_WAIT, LONGEST_WAIT, JITTER = 3.0, 120.0, 0.2


def attempts(rate, size, backoff, rng):
    """Start times of one window's attempts within the hour of the wrong header."""
    seconds = HEAD_SECONDS + size / rate
    t = rng.uniform(0, seconds)  # where the window was in its download when the header broke
    starts, mismatches = [], 0
    while t < HOUR:
        starts.append(t)
        t += seconds
        mismatches += 1
        if backoff and mismatches >= 2:
            wait = min(LONGEST_WAIT, FIRST_WAIT * 2 ** (mismatches - 2))
            t += wait * (1 - JITTER * rng.random())
    return starts


def simulate(windows, sample, size, rate, backoff, seed):
    rng = random.Random(seed)
    total, per_minute = 0, [0] * 60
    for _ in range(sample):
        for start in attempts(rate, size, backoff, rng):
            total += size
            per_minute[int(start // 60)] += size
    scale = windows / sample
    return total * scale, max(per_minute) * scale


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows", type=int, default=10000)
    parser.add_argument("--sample", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    cases = [(100e6, 2.5e6), (100e6, 12.5e6), (10e6, 2.5e6), (10e6, 12.5e6)]
    print(f"{args.windows} windows, one hour of a wrong checksum header")
    print("| file | rate per window | at once: egress | peak minute | with waits: egress "
          "| peak minute | ratio |")
    print("|---|---|---|---|---|---|---|")
    for size, rate in cases:
        before, before_peak = simulate(args.windows, args.sample, size, rate, False, args.seed)
        after, after_peak = simulate(args.windows, args.sample, size, rate, True, args.seed)
        print(f"| {size / 1e6:.0f} MB | {rate * 8 / 1e6:.0f} Mbit/s | {before / 1e12:.1f} TB "
              f"| {before_peak / 1e12:.2f} TB | {after / 1e12:.1f} TB | {after_peak / 1e12:.2f} TB "
              f"| {before / after:.1f} |")


if __name__ == "__main__":
    main()

"""The cosmic-ray job in numpy: per 10 ms chunk one vectorised Poisson draw
over all showers, uniform times for the events, and a sort by time.

Usage: bench_cosmic_ray_numpy.py RATES_FILE [CHUNKS]
RATES_FILE holds one "uid rate" line per shower, as bench_cosmic_ray writes it.
"""

import sys
import time

import numpy as np


def main() -> int:
    rates_file = sys.argv[1]
    chunks = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    chunk = 0.01
    table = np.loadtxt(rates_file, dtype=np.float64)
    uids = table[:, 0].astype(np.uint64)
    rates = table[:, 1]
    rng = np.random.default_rng(20240611)

    events = 0
    start = time.perf_counter()
    begin = 0.0
    for _ in range(chunks):
        end = begin + chunk
        counts = rng.poisson(rates * (end - begin))
        n = int(counts.sum())
        ids = np.repeat(uids, counts)
        times = begin + (end - begin) * rng.random(n)
        order = np.argsort(times)
        times, ids = times[order], ids[order]
        events += n
        begin = end
    wall = time.perf_counter() - start
    print(f"numpy:           {chunks} chunks, {events} events, {wall:.3f} s wall, "
          f"{chunks * chunk / wall:.1f} simulated seconds per wall second")
    return 0


if __name__ == "__main__":
    sys.exit(main())

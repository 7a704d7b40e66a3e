"""Simulates a run of background chunks and summarises what came out.

Usage: python examples/run_background.py [settings.yaml] [--chunks N] [--span SECONDS]

The default settings, examples/replay.yaml, replay showers that examples/prepare_replay stored once
(scripts/run-example.sh prepares them when they are missing).
"""

import argparse
import math
import pathlib
import time

import rarovaredivar

HERE = pathlib.Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("settings", nargs="?", default=str(HERE / "replay.yaml"), help="settings file")
    parser.add_argument("--chunks", type=int, default=200, help="number of chunks to draw")
    parser.add_argument("--span", type=float, default=0.01, help="length of one chunk in seconds")
    parser.add_argument("--channels", type=int, help="number of read-out channels (default: highest seen + 1)")
    args = parser.parse_args()

    engine = rarovaredivar.Background(args.settings)
    # From 0 s whatever the settings say, so that the run's interval is known.
    start = 0.0
    engine.seek(start)
    counts = {}
    wall = 0.0
    for _ in range(args.chunks):
        started = time.perf_counter()
        chunk = engine.next_chunk(args.span)
        wall += time.perf_counter() - started
        for channel, times in chunk:
            counts[channel] = counts.get(channel, 0) + len(times)

    simulated = args.chunks * args.span
    total = sum(counts.values())
    print(f"settings          {args.settings}")
    print(f"chunks            {args.chunks} of {args.span * 1e3:g} ms, {simulated:g} s simulated")
    print(f"p.e. in the run   {total}")
    channels = args.channels if args.channels is not None else max(counts, default=-1) + 1
    if channels > 0:
        # Channels without p.e.s appear in no chunk but count as zeros.
        per_channel = [counts.get(c, 0) for c in range(channels)]
        mean = total / channels
        spread = math.sqrt(sum((k - mean) ** 2 for k in per_channel) / (channels - 1)) if channels > 1 else 0.0
        print(f"channels          {channels} ({len(counts)} with p.e.s)")
        print(f"p.e. per channel  mean {mean:.1f}, spread {spread:.1f} (Poisson: {math.sqrt(mean):.1f}),"
              f" min {min(per_channel)}, max {max(per_channel)}")
        print(f"rate per channel  {mean / simulated:.1f} Hz +- {spread / simulated:.1f} Hz")
    # The records of the shower events of the run's interval; asked after the chunks, since a model that
    # draws at random (not a replay) draws anew here.
    showers = engine.generate_metadata(start, start + simulated)
    if showers:
        energies = sorted(shower.energy for shower in showers)
        print(f"shower events     {len(showers)}, energies {energies[0]:.3g} to {energies[-1]:.3g} GeV"
              f" (median {energies[len(energies) // 2]:.3g} GeV)")
    if wall > 0:
        print(f"throughput        {total / wall / 1e6:.2f} million p.e./s,"
              f" {simulated / wall:.1f} simulated s per wall s")


if __name__ == "__main__":
    main()

"""Simulates one long run as time windows, each in a process of its own.

Usage: python examples/run_windows.py [--windows N] [--length SECONDS] [--span SECONDS] [--seed BASE]
                                      [--workers K] [--template FILE] [--replay DIR] [--out DIR]

The random streams of a run start from their "seed" settings at every start: two processes with equal
seeds and different start times draw the same noise, shifted in time. So every window gets a settings
file of its own, made from one template (default examples/window.yaml): its start time, and for every
seed a value of its own, derived from the base seed and the window's number. Words of the template
behind a dollar sign are filled in: start_time, replay (the directory of the shared replay files),
and every name that ends in _seed. The replay's model cache and time-ordered shower directory
(examples/replay/, which scripts/run-example.sh prepares) are read by all processes at once.

For every window it prints its interval, its seeds, the p.e.s and shower events in it, and a digest of
its p.e. times relative to the window's start (to the nanosecond): windows differ, a window simulated
again is the same.
"""

import argparse
import concurrent.futures
import hashlib
import os
import pathlib
import re
import string
import struct
import tempfile

import rarovaredivar

HERE = pathlib.Path(__file__).resolve().parent


def window_seed(base, window, stream):
    """A seed of its own for every window and stream; the same on every machine and in every run."""
    digest = hashlib.sha256(f"{base}:{window}:{stream}".encode()).digest()
    return int.from_bytes(digest[:4], "little") & 0x7FFFFFFF  # settings read seeds as int


def window_settings(template, window, start, base_seed, replay):
    """The settings text of one window and the seeds it got."""
    names = set(re.findall(r"\$\{?(\w+_seed)\b", template))
    seeds = {name: window_seed(base_seed, window, name) for name in sorted(names)}
    # The replay's path goes between single quotes, where YAML doubles a quote.
    text = string.Template(template).substitute(seeds, start_time=repr(start), replay=replay.replace("'", "''"))
    return text, seeds


def simulate(settings, start, length, span):
    """Draws the window [start, start + length) in chunks; what came out, summarised."""
    engine = rarovaredivar.Background(str(settings))
    chunks = max(1, round(length / span))
    digest = hashlib.sha256()
    pes = 0
    for _ in range(chunks):
        for channel, times in engine.next_chunk(length / chunks):
            pes += len(times)
            digest.update(struct.pack(f"<i{len(times)}q", channel, *(round((t - start) * 1e9) for t in times)))
    showers = len(engine.generate_metadata(start, start + length))
    return {"pes": pes, "showers": showers, "digest": digest.hexdigest()[:16]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=4, help="number of windows")
    parser.add_argument("--length", type=float, default=1.0, help="length of a window in seconds")
    parser.add_argument("--first", type=int, default=0, help="number of the first window")
    parser.add_argument("--span", type=float, default=0.01, help="length of a chunk in seconds")
    parser.add_argument("--seed", type=int, default=20240611, help="base seed of the run")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="processes at once")
    parser.add_argument("--template", default=str(HERE / "window.yaml"), help="settings template")
    parser.add_argument("--replay", default=str(HERE / "replay"), help="directory of the shared replay files")
    parser.add_argument("--out", help="directory for the windows' settings files (default: a temporary one)")
    args = parser.parse_args()

    template = pathlib.Path(args.template).read_text()
    replay = str(pathlib.Path(args.replay).resolve())
    with tempfile.TemporaryDirectory() as scratch:
        out = pathlib.Path(args.out or scratch)
        out.mkdir(parents=True, exist_ok=True)
        windows = []
        for window in range(args.first, args.first + args.windows):
            start = window * args.length
            text, seeds = window_settings(template, window, start, args.seed, replay)
            settings = out / f"window_{window}.yaml"
            settings.write_text(text)
            windows.append((window, start, seeds, settings))
        failed = 0
        with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, args.workers)) as pool:
            runs = [pool.submit(simulate, settings, start, args.length, args.span)
                    for _, start, _, settings in windows]
            for (window, start, seeds, _), run in zip(windows, runs):
                shown = " ".join(f"{name}={value}" for name, value in seeds.items())
                interval = f"[{start:g} s, {start + args.length:g} s)"
                try:
                    result = run.result()
                except Exception as error:  # a window the settings cannot simulate, e.g. past a cache's end
                    failed += 1
                    print(f"window {window}  {interval}  failed: {type(error).__name__}: {error}")
                    continue
                print(f"window {window}  {interval}  {shown}  "
                      f"p.e.s {result['pes']}  showers {result['showers']}  digest {result['digest']}")
    raise SystemExit(1 if failed else 0)


if __name__ == "__main__":
    main()

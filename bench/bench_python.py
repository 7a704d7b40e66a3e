"""Dark-count throughput through the Python module against the same job in plain numpy.

Job: 1000 channels, 2 kHz dark counts per channel, 10 ms chunks, one p.e. per
dark count. Both sides hand back, per chunk, the channels that have p.e.s with
their sorted times as numpy arrays (the module's as views of its vectors);
both are timed over the same number of chunks.
"""

import argparse
import pathlib
import tempfile
import time

import numpy as np

import rarovaredivar

CHANNELS = 1000
RATE = 2000.0
SPAN = 0.01

SETTINGS = f"""\
lib:
  provider: mock
  generator: npe
  model: dark
  num_channels: {CHANNELS}
  start_time: 0.0
  meta_gen_type: 1
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 300.0
    e_max: 100000.0
    e_min: 100.0
    index: -2.7
    num_showers: 1
generators:
  npe:
    class: NPEGenerator
    num_pe: 1
models:
  dark:
    class: DarkCountModel
    gen_type: 0
    seed: 12345
    num_channels: {CHANNELS}
    rate: {RATE}
"""


def module_chunk(engine):
    # A numpy view of every channel's times, without a copy.
    return [(channel, np.asarray(times)) for channel, times in engine.next_chunk(SPAN)]


def count(chunk):
    return sum(times.size for _, times in chunk)


# Each chunk is counted and dropped, as a consumer that processes chunk after
# chunk would.
def run_module(settings, chunks):
    engine = rarovaredivar.Background(settings)
    started = time.perf_counter()
    pe = sum(count(module_chunk(engine)) for _ in range(chunks))
    return time.perf_counter() - started, pe


def numpy_chunk(rng, begin):
    counts = rng.poisson(RATE * SPAN, CHANNELS)
    times = rng.uniform(begin, begin + SPAN, counts.sum())
    chunk = []
    for channel, part in enumerate(np.split(times, np.cumsum(counts)[:-1])):
        if part.size:
            part.sort()
            chunk.append((channel, part))
    return chunk


def run_numpy(chunks):
    rng = np.random.default_rng(12345)
    started = time.perf_counter()
    pe = sum(count(numpy_chunk(rng, i * SPAN)) for i in range(chunks))
    return time.perf_counter() - started, pe


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chunks", type=int, default=500, help="chunks per side and round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds; the best of each side counts")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        settings = pathlib.Path(directory) / "dark_counts.yaml"
        settings.write_text(SETTINGS)
        module = min((run_module(str(settings), args.chunks) for _ in range(args.rounds)), key=lambda r: r[0])
    plain = min((run_numpy(args.chunks) for _ in range(args.rounds)), key=lambda r: r[0])

    simulated = args.chunks * SPAN
    for name, (wall, pe) in (("module", module), ("numpy", plain)):
        print(f"{name:7s} {pe / wall / 1e6:7.2f} million p.e./s  ({pe} p.e. in {wall:.3f} s,"
              f" {simulated / wall:.1f} simulated s per wall s)")
    ratio = (module[1] / module[0]) / (plain[1] / plain[0])
    print(f"ratio   {ratio:7.2f} (module / numpy)")


if __name__ == "__main__":
    main()

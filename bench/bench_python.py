"""Dark-count throughput through the Python module against the same job in plain numpy.

Job: 1000 channels, 2 kHz dark counts per channel, 10 ms chunks, one p.e. per
dark count. Both sides hand back, per chunk, the channels that have p.e.s with
their sorted times as numpy arrays (the module's as views of its vectors;
also shown: the module's own vectors without views); all are timed in CPU
seconds over the same number of chunks.
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


def module_lists(engine):
    # The chunk as the module hands it over: (channel, DoubleVector) pairs.
    return [(channel, times) for channel, times in engine.next_chunk(SPAN)]


def count(chunk):
    return sum(len(times) for _, times in chunk)


# CPU time, so that other jobs on a shared machine do not count; each chunk
# is counted and dropped, as a consumer that processes chunk after chunk
# would.
def timed(make_chunk, chunks):
    started = time.process_time()
    pe = sum(count(make_chunk(i)) for i in range(chunks))
    return time.process_time() - started, pe


def run_module(settings, chunks, chunk):
    engine = rarovaredivar.Background(settings)
    return timed(lambda i: chunk(engine), chunks)


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
    return timed(lambda i: numpy_chunk(rng, i * SPAN), chunks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chunks", type=int, default=500, help="chunks per side and round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds; the best of each side counts")
    args = parser.parse_args()

    def best(run):
        return min((run() for _ in range(args.rounds)), key=lambda r: r[0])

    with tempfile.TemporaryDirectory() as directory:
        settings = pathlib.Path(directory) / "dark_counts.yaml"
        settings.write_text(SETTINGS)
        views = best(lambda: run_module(str(settings), args.chunks, module_chunk))
        lists = best(lambda: run_module(str(settings), args.chunks, module_lists))
    plain = best(lambda: run_numpy(args.chunks))

    simulated = args.chunks * SPAN
    rows = (("module, numpy views", views), ("module, vectors", lists), ("numpy", plain))
    for name, (cpu, pe) in rows:
        print(f"{name:20s} {pe / cpu / 1e6:7.2f} million p.e./s  ({pe} p.e. in {cpu:.3f} CPU s,"
              f" {simulated / cpu:.1f} simulated s per CPU s)")
    for name, (cpu, pe) in rows[:2]:
        print(f"ratio, {name + ':':20s} {(pe / cpu) / (plain[1] / plain[0]):5.2f} (module / numpy)")


if __name__ == "__main__":
    main()

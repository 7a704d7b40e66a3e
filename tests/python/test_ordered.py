"""Replays of a model cache and a time-ordered shower directory, prepared by the example program."""

import bisect
import pathlib
import struct
import subprocess

import pytest

import rarovaredivar
from rarovaredivar import Background

PREPARE = pathlib.Path(rarovaredivar.__file__).parent / "examples" / "prepare_replay"
SPAN = 0.5

# Cosmic-ray showers of a mock provider, whose one p.e. lies uid seconds after the shower's event.
SETTINGS = """\
lib:
  provider: {provider}
  generator: {generator}
  model: {model}
  num_channels: 1
  start_time: {start_time}
  meta_gen_type: 2
  time_hint_hook: 13076069
providers:
  mock: {{class: MockProvider, num_showers: 200, index: -2.0, e_min: 1000.0, e_max: 1000000.0, r_max: 100.0,
          theta_max: 0.5}}
  ordered: {{class: OrderedProvider, path: replay/showers}}
fluxes:
  protons: {{class: PowerLawFlux, index: -2.7, f_ref: 18000.0, e_ref: 1.0}}
generators:
  from_mock: {{class: ProviderGenerator, provider: mock}}
  from_directory: {{class: ProviderGenerator, provider: ordered}}
  pe: {{class: NPEGenerator, num_pe: 1}}
models:
  showers: {{class: CosmicRayModel, provider: mock, flux: protons, warn_invalid: false, e_min: 1000.0,
            e_max: 1000000.0, theta_max: 0.5, r_max: 100.0, throw_index: -2.0, gen_type: 2, seed: 77}}
  replay: {{class: CachedModel, cache_file: replay/showers.evt}}
  dark: {{class: DarkCountModel, gen_type: 1, seed: 5, num_channels: 1, rate: 100.0}}
"""


@pytest.fixture
def replay(tmp_path):
    """Prepares a replay of [0 s, 4 s) in tmp_path; returns a maker of settings files over it."""
    count = 0

    def settings(provider="ordered", generator="from_directory", model="replay", start_time=0.0):
        nonlocal count
        count += 1
        path = tmp_path / f"settings{count}.yaml"
        path.write_text(SETTINGS.format(provider=provider, generator=generator, model=model, start_time=start_time))
        return str(path)

    (tmp_path / "replay").mkdir()
    done = subprocess.run([str(PREPARE), settings(), "showers", "0", "4", str(tmp_path / "replay" / "showers.evt"),
                           str(tmp_path / "replay" / "showers"), "100"], capture_output=True, text=True, check=True)
    assert " showers of model showers in [0 s, 4 s) written to " in done.stdout
    return settings


def _batch_starts(directory):
    data = (directory / "OP_HINT.tmio").read_bytes()
    tag, length, count, size = struct.unpack_from("<iiii", data, 68)
    assert (tag, length, size, len(data)) == (-3, 4, 8 * count, 84 + 8 * count)
    return list(struct.unpack_from(f"<{count}d", data, 84))


def _remove_batches_before(directory, time):
    """Leaves only the batches from the one that holds `time` on."""
    starts = _batch_starts(directory)
    target = bisect.bisect_right(starts, time) - 1
    assert target > 2
    for k in range(target):
        (directory / f"OP_DATA_{k}.tmio").unlink()
        (directory / f"OP_META_{k}.tmio").unlink()


def _chunks(engine, count):
    return [[(channel, list(times)) for channel, times in engine.next_chunk(SPAN)] for _ in range(count)]


def test_chunks_after_a_seek_equal_those_of_an_engine_starting_there(replay, tmp_path):
    engine = Background(replay())
    _chunks(engine, 2)
    fresh = Background(replay(start_time=2.5))
    from_source = Background(replay(generator="from_mock", start_time=2.5))
    # Without the chunk hints the providers would read on into the batches removed here.
    _remove_batches_before(tmp_path / "replay" / "showers", 2.5)
    engine.seek(2.5)
    after_seek = _chunks(engine, 3)
    assert after_seek == _chunks(fresh, 3) == _chunks(from_source, 3)
    assert sum(len(times) for chunk in after_seek for _, times in chunk) > 5


def test_metadata_are_the_showers_behind_the_pes(replay, tmp_path):
    replayed = Background(replay())
    source = Background(replay(provider="mock"))
    chunked = Background(replay(start_time=3.0))
    _remove_batches_before(tmp_path / "replay" / "showers", 3.0)
    # The metadata hint moves the engine's own provider to the batch of 3 s.
    showers = replayed.generate_metadata(3.0, 3.5)
    assert len(showers) > 100
    expected_showers = source.generate_metadata(3.0, 3.5)
    assert len(showers) == len(expected_showers)
    for got, expected in zip(showers, expected_showers):
        assert (got.uid, got.primary, got.energy, got.x, got.y, got.theta, got.phi, got.time) == (
            expected.uid, expected.primary, expected.energy, expected.x, expected.y, expected.theta, expected.phi,
            expected.time)
    chunk = chunked.next_chunk(SPAN)
    pes = sorted(time for _, times in chunk for time in times)
    assert pes and pes == sorted(s.time + s.uid for s in showers if s.time + s.uid <= 3.5)


def test_engines_one_after_another(replay):
    settings = replay()
    engine = Background(settings)
    expected = _chunks(engine, 2)
    # The second engine is built while the first one lives, and takes the hint id over.
    engine = Background(settings)
    assert _chunks(engine, 2) == expected
    engine.seek(0.0)
    assert _chunks(engine, 2) == expected
    # An engine without ordered providers of its own copies the hints of another engine's providers;
    # once that engine is gone they do nothing.
    borrower = Background(replay(provider="mock", generator="pe", model="dark"))
    del engine
    borrower.seek(1.0)
    borrower.next_chunk(SPAN)
    assert len(borrower.generate_metadata(1.0, 2.0)) == 0

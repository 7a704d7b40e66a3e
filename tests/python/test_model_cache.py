"""Model caches replayed by an engine built from a settings file, from Python."""

import pathlib
import shutil
import struct
import subprocess

import pytest

import rarovaredivar
from rarovaredivar import Background

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
WRITER = pathlib.Path(rarovaredivar.__file__).parent / "examples" / "write_model_cache"
SPAN = 0.01

# An engine that turns every event into one p.e. at its time on the channel its id names.
REPLAY = """\
lib:
  provider: mock
  generator: npe
  model: replay
  num_channels: 8
  start_time: 0.0
  meta_gen_type: 2
providers:
  mock: {class: MockProvider, theta_max: 0.5, r_max: 100.0, e_max: 1000.0, e_min: 10.0, index: -2.0,
         num_showers: 10}
generators:
  npe: {class: NPEGenerator, num_pe: 1}
models:
  replay: {class: CachedModel, cache_file: caches/run.evt}
"""


def _number_file(protocol, payload, count):
    """A file of the serializer: protocol tag and field, then one vector item."""
    header = struct.pack("<i", -1000000001) + protocol.ljust(64, b"\0")
    return header + struct.pack("<iiii", -3, 4, count, len(payload)) + payload


def _write_cache(path, events, begin, end):
    """Writes an event file of (time, type, id) and its interval file as the library does."""
    payload = b"".join(struct.pack("<di4xQ", *event) for event in events)
    path.write_bytes(_number_file(b"EVENT_PROTOCOL", payload, len(events)))
    path.with_suffix(".cm").write_bytes(_number_file(b"NUMBER_PROTOCOL", struct.pack("<2d", begin, end), 2))


def _read_events(path):
    """The (time, type, id) records of an event file, checking its layout."""
    data = path.read_bytes()
    assert data[:4] == struct.pack("<i", -1000000001)
    assert data[4:68].rstrip(b"\0") == b"EVENT_PROTOCOL"
    tag, length, count, size = struct.unpack_from("<iiii", data, 68)
    assert (tag, length, size, len(data)) == (-3, 4, 24 * count, 84 + 24 * count)
    events = [struct.unpack_from("<di4xQ", data, 84 + 24 * i) for i in range(count)]
    assert all(data[84 + 24 * i + 12 : 84 + 24 * i + 16] == b"\0" * 4 for i in range(count))
    return events


def _replay(engine, chunks):
    """The (channel, time) pairs of the p.e.s of consecutive chunks."""
    seen = []
    for _ in range(chunks):
        for channel, times in engine.next_chunk(SPAN):
            seen.extend((channel, time) for time in times)
    return sorted(seen)


def test_a_cache_replays_its_events_in_every_engine(settings_file, tmp_path):
    (tmp_path / "caches").mkdir()
    events = [(0.001 * i + 0.0005, 1, i % 8) for i in range(200)] + [(0.05, 1, 3), (0.05, 1, 5)]
    _write_cache(tmp_path / "caches" / "run.evt", sorted(events), 0.0, 0.3)
    settings = settings_file(REPLAY)
    expected = sorted((event_id, time) for time, _, event_id in events)
    assert _replay(Background(settings), 20) == expected
    assert _replay(Background(settings), 20) == expected
    engine = Background(settings)
    engine.seek(0.29)
    outside = r"Cannot sample interval \[0\.29 s,0\.31[0-9]* s\)! Model is only defined in \[0 s,0\.3 s\)\."
    with pytest.raises(IndexError, match=outside):
        engine.next_chunk(0.02)


def test_cache_errors_reach_python(settings_file, tmp_path):
    settings = settings_file(REPLAY)
    with pytest.raises(RuntimeError, match="Failed to open file .*caches/run.evt!\nImplementation reports: "
                                           "connection error"):
        Background(settings)
    (tmp_path / "caches").mkdir()
    _write_cache(tmp_path / "caches" / "run.evt", [], 0.0, 1.0)
    interval = tmp_path / "caches" / "run.cm"
    interval.write_bytes(_number_file(b"NUMBER_PROTOCOL", struct.pack("<d", 1.0), 1))
    with pytest.raises(RuntimeError, match=f"Cached data is corrupted, check if {interval} was modified."):
        Background(settings)


def test_example_program_writes_the_cache_that_the_example_settings_replay(tmp_path):
    settings = tmp_path / "model_cache.yaml"
    shutil.copy(EXAMPLES / "model_cache.yaml", settings)
    cache = tmp_path / "dark_counts.evt"
    run = subprocess.run(
        [str(WRITER), str(settings), "dark_counts", "0", "1", str(cache)], capture_output=True, text=True
    )
    assert run.returncode == 0, run.stderr
    events = _read_events(cache)
    assert run.stdout == f"{len(events)} events of model dark_counts in [0 s, 1 s) written to {cache}\n"
    # 64 channels at 2 kHz.
    assert abs(len(events) - 128000) < 5 * 128000**0.5
    assert all(type_ == 1 and 0 <= channel < 64 for _, type_, channel in events)
    # Half of the cache in 10 ms chunks.
    expected = sorted((channel, time) for time, _, channel in events if time < 0.5)
    assert _replay(Background(str(settings)), 50) == expected

    failed = subprocess.run(
        [str(WRITER), str(settings), "dark_counts", "0", "0.5", str(tmp_path / "cache.cm")],
        capture_output=True,
        text=True,
    )
    assert failed.returncode == 1
    assert "its interval file would be the cache file itself" in failed.stderr
    assert not (tmp_path / "cache.cm").exists()

"""The engine driven from Python: chunks, seeks, metadata and its errors."""

import math
import re

import pytest

from rarovaredivar import Background, DoubleVector, Metadata, MetadataVector, PEListVector

SPAN = 0.01


def _check_chunk(chunk, begin, end):
    """Asserts the shape of one chunk and returns its p.e. count."""
    assert type(chunk) is PEListVector
    channels = [channel for channel, _ in chunk]
    assert channels == sorted(set(channels))
    count = 0
    for channel, times in chunk:
        assert type(channel) is int and type(times) is DoubleVector
        assert len(times) > 0
        assert list(times) == sorted(times)
        assert begin <= times[0] and times[-1] <= end
        count += len(times)
    return count


def test_dark_count_chunks(dark_count_file):
    channels, rate, chunks = 32, 2000.0, 30
    engine = Background(settings=dark_count_file(channels=channels, rate=rate, start_time=5.0))
    total = 0
    for i in range(chunks):
        begin = 5.0 + i * SPAN
        total += _check_chunk(engine.next_chunk(time_span=SPAN), begin, begin + SPAN)
    expected = rate * channels * chunks * SPAN
    assert abs(total - expected) < 5 * math.sqrt(expected)


def test_seek_moves_the_next_chunk(dark_count_file):
    engine = Background(dark_count_file())
    engine.next_chunk(SPAN)
    assert engine.seek(time=100.0) is None
    assert _check_chunk(engine.next_chunk(SPAN), 100.0, 100.0 + SPAN) > 0


def test_same_settings_give_the_same_chunks(dark_count_file):
    path = dark_count_file(seed=11)
    first, second = Background(path), Background(path)
    for _ in range(3):
        assert first.next_chunk(SPAN) == second.next_chunk(SPAN)


def test_generate_metadata(dark_count_file):
    # The dark counts carry channel numbers, which the mock provider serves as
    # shower UIDs, so every dark count yields a record.
    engine = Background(dark_count_file(channels=8))
    records = engine.generate_metadata(begin=2.0, end=2.5)
    assert type(records) is MetadataVector and len(records) > 0
    times = [m.time for m in records]
    assert times == sorted(times) and 2.0 <= times[0] and times[-1] < 2.5
    assert all(m.uid < 8 and m.primary is Metadata.PROTON for m in records)
    # The start of the next chunk is left alone.
    assert _check_chunk(engine.next_chunk(SPAN), 0.0, SPAN) > 0


def test_missing_settings_file_names_the_parser_error_as_cause(tmp_path):
    path = tmp_path / "absent.yaml"
    with pytest.raises(RuntimeError, match=re.escape(f"Failed to load yaml file {path}")) as caught:
        Background(str(path))
    cause = caught.value.__cause__
    assert type(cause) is RuntimeError and "bad file" in str(cause)


@pytest.mark.parametrize(
    "settings, action, error, message",
    [
        ("providers: {}\n", Background, IndexError, "Key lib not found!"),
        ({"channels": "many", "model_channels": 4}, Background, ValueError, "access failed"),
        (
            {"channels": 4, "model_channels": 6},
            lambda path: Background(path).next_chunk(SPAN),
            IndexError,
            r"Generated data for channel [45], but only 4 channels in array!",
        ),
        ({}, lambda path: Background(path).next_chunk(math.nan), ValueError, None),
    ],
    ids=["no lib", "num_channels not an int", "channel outside the array", "span not finite"],
)
def test_library_errors_become_python_exceptions(settings_file, dark_count_file, settings, action, error, message):
    path = settings_file(settings) if isinstance(settings, str) else dark_count_file(**settings)
    with pytest.raises(error) as caught:
        action(path)
    assert type(caught.value) is error
    if message is not None:
        assert re.fullmatch(message, str(caught.value))

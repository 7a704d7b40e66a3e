"""Each kind of library error reaches Python as the exception class of the binding layer's translation."""

import json
import os
import resource
import struct
import subprocess
import sys

import pytest

from rarovaredivar import Background

# One engine; each case swaps one instance of "lib" or one value for a faulty one.
SETTINGS = """\
lib:
  provider: {provider}
  generator: {generator}
  model: {model}
  num_channels: {channels}
  start_time: 0.0
  meta_gen_type: 0
providers:
  mock: {{class: MockProvider, theta_max: 0.5, r_max: 300.0, e_max: 100000.0, e_min: 100.0, index: -2.7,
          num_showers: {showers}}}
  simulation: {{class: SimulationProvider, warn_unverified: false, cutoff_interval: 1.0e-6, cutoff_pes: 10,
                file_limit: -1, input_files: simulation}}
  datasets: {{class: MultiProvider, warn_unverified: false, cutoff_interval: 1.0e-6, cutoff_pes: 10,
              datasets: {{first: {{file_limit: -1, input_files: simulation}}}}}}
  ordered: {{class: OrderedProvider, path: ordered}}
generators:
  npe: {{class: NPEGenerator, num_pe: {num_pe}}}
  replay: {{class: ProviderGenerator, provider: ordered}}
models:
  dark: {{class: DarkCountModel, gen_type: 0, seed: 7, num_channels: 16, rate: 2000.0}}
  cache: {{class: CachedModel, cache_file: caches/{cache}.evt}}
"""

DEFAULTS = dict(provider="mock", generator="npe", model="dark", channels=16, showers=100, num_pe=1, cache="one")


def _protocol(name):
    return struct.pack("<i", -1000000001) + name.ljust(64, b"\0")


def _struct_item(payload):
    return struct.pack("<ii", -1, len(payload)) + payload


def _vector_item(payload, count, element_size):
    # The element record's length follows the count, as the writer gives it.
    return struct.pack("<iiii", -3, 4, count, count * element_size) + payload


def _cache(directory, name, events, count=None):
    """A model cache of (time, type, id) events over [0 s, 10 s); `count` overrides the stored count."""
    payload = b"".join(struct.pack("<di4xQ", *event) for event in events)
    (directory / f"{name}.evt").write_bytes(
        _protocol(b"EVENT_PROTOCOL") + _vector_item(payload, len(events) if count is None else count, 24)
    )
    interval = _vector_item(struct.pack("<2d", 0.0, 10.0), 2, 8)
    (directory / f"{name}.cm").write_bytes(_protocol(b"NUMBER_PROTOCOL") + interval)


def _ordered_directory(directory, uid, pe_list):
    """A time-ordered shower directory of one batch holding the one shower `uid` with the stored list `pe_list`."""
    directory.mkdir(exist_ok=True)
    (directory / "OP_HINT.tmio").write_bytes(_protocol(b"OP_HINT") + _vector_item(struct.pack("<d", 0.0), 1, 8))
    metadata = struct.pack("<Qi4x6d", uid, 14, 1000.0, 0.0, 0.0, 0.1, 0.2, 0.5)
    (directory / "OP_META_0.tmio").write_bytes(_protocol(b"OP_META") + _struct_item(metadata))
    (directory / "OP_DATA_0.tmio").write_bytes(_protocol(b"OP_DATA") + _struct_item(struct.pack("<Q", uid)) + pe_list)


@pytest.fixture
def engine_settings(tmp_path):
    """Writes the settings with the given changes beside the files they name; returns the path."""
    # A dataset passes the directory checks before the reader is made.
    (tmp_path / "simulation").mkdir()
    (tmp_path / "simulation" / "run.xcd").write_bytes(b"")
    (tmp_path / "caches").mkdir()
    _cache(tmp_path / "caches", "one", [(0.5, 1, 5)])
    _cache(tmp_path / "caches", "negative_count", [], count=-1)

    def write(**changes):
        path = tmp_path / "settings.yaml"
        path.write_text(SETTINGS.format(**{**DEFAULTS, **changes}))
        return str(path)

    return write


def _raised(settings, span):
    """The exception that building the engine and, with a span, drawing one chunk raises."""
    with pytest.raises(Exception) as caught:
        engine = Background(settings)
        if span is not None:
            engine.next_chunk(span)
    return caught.value


# (id, settings changes, span of a chunk to draw after construction or None, class, message)
CASES = [
    ("runtime_error: simulation files without a reader", {"provider": "simulation"}, None,
     RuntimeError, "XCDF support disabled at build time!"),
    ("runtime_error: a dataset without a reader", {"provider": "datasets"}, None,
     RuntimeError, "XCDF support disabled at build time!"),
    ("length_error: negative element count of a model cache", {"model": "cache", "cache": "negative_count"}, None,
     ValueError, "cannot create std::vector larger than max_size()"),
    ("length_error: negative num_pe, when a chunk is drawn", {"num_pe": -1}, 0.01,
     ValueError, "cannot create std::vector larger than max_size()"),
    ("length_error: negative num_showers", {"showers": -1}, None, ValueError, "vector::_M_default_append"),
    ("length_error: negative num_channels", {"channels": -1}, None, ValueError, "vector::_M_default_append"),
]


@pytest.mark.parametrize("changes, span, error, message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_library_error_class_and_message(engine_settings, changes, span, error, message):
    raised = _raised(engine_settings(**changes), span)
    # Exactly the class: a subclass would be another translation.
    assert (type(raised), str(raised)) == (error, message)
    assert raised.__cause__ is None


def test_nested_error_becomes_the_cause_with_its_own_class(engine_settings, tmp_path):
    # The cached event asks the directory for shower 5; one entry: channel 2, one p.e. 0.25 s after the event.
    good = _struct_item(struct.pack("<Q", 1)) + _struct_item(struct.pack("<i", 2)) + _vector_item(
        struct.pack("<d", 0.25), 1, 8)
    _ordered_directory(tmp_path / "ordered", 5, good)
    settings = engine_settings(generator="replay", model="cache")
    assert [(channel, list(times)) for channel, times in Background(settings).next_chunk(1.0)] == [(2, [0.75])]

    # An entry count no vector can hold: the provider's std::length_error, nested by the generator.
    _ordered_directory(tmp_path / "ordered", 5, _struct_item(struct.pack("<Q", 1 << 60)))
    raised = _raised(settings, 1.0)
    outer = "Event generation failed due to unexpected exception from provider"
    assert (type(raised), str(raised)) == (IndexError, outer)
    cause = raised.__cause__
    assert (type(cause), str(cause)) == (ValueError, "cannot create std::vector larger than max_size()")
    assert cause.__cause__ is None


# Builds the engine of argv[1] and draws a chunk of argv[2] seconds if given; prints what was raised.
CHILD = """
import json, sys
from rarovaredivar import Background
try:
    engine = Background(sys.argv[1])
    if len(sys.argv) > 2:
        engine.next_chunk(float(sys.argv[2]))
    print(json.dumps(None))
except BaseException as error:
    cause = error.__cause__
    print(json.dumps([type(error).__name__, str(error), cause and [type(cause).__name__, str(cause)]]))
"""

MEMORY_LIMIT = 2 << 30


def _limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


@pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="under the sanitizers the child's address space is not limited, and their allocator ends the process "
    "on a failed allocation instead of throwing std::bad_alloc",
)
@pytest.mark.parametrize(
    "changes, span",
    [({"channels": 2**31 - 1}, None), ({"num_pe": 2**31 - 1}, 0.01)],
    ids=["channel lists of the engine", "p.e. list of a chunk"],
)
def test_exhausted_memory_is_memory_error(engine_settings, changes, span):
    # Tens of GiB asked for at once: refused by the address-space limit of the child.
    arguments = [sys.executable, "-c", CHILD, engine_settings(**changes)] + ([] if span is None else [str(span)])
    result = subprocess.run(arguments, capture_output=True, text=True, timeout=120, preexec_fn=_limit_memory)
    assert result.returncode == 0, result.stderr[-3000:]
    assert json.loads(result.stdout) == ["MemoryError", "std::bad_alloc", None]


# Instance names as the bytes of the settings file: well-formed UTF-8 (up to the edges of its ranges) passes
# unchanged; overlong forms, surrogates, code points above U+10FFFF, bytes that never lead a sequence and cut
# sequences are escaped byte by byte.
NAME_BYTES = [
    b"\x7f", b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xef\xbf\xbf",
    b"\xf0\x90\x80\x80", b"\xf1\x80\x80\x80", b"\xf4\x8f\xbf\xbf",
    b"\xc0\x80", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
    b"\xf5\x80\x80\x80", b"\x80", b"\xbf", b"\xfe", b"\xff", b"\xe1\x80", b"\xf1\x80\x80", b"\xc3", b"\xe2\x82\xe2\x82\xac",
]


@pytest.mark.parametrize("name", NAME_BYTES, ids=[name.hex() for name in NAME_BYTES])
def test_message_bytes_that_are_not_utf8_are_escaped_as_python_escapes_them(engine_settings, name):
    path = engine_settings()
    with open(path, "rb") as file:
        text = file.read()
    with open(path, "wb") as file:
        file.write(text.replace(b"model: dark", b"model: <" + name + b">", 1))
    raised = _raised(path, None)
    shown = (b"<" + name + b">").decode("utf-8", "backslashreplace")
    assert (type(raised), str(raised)) == (IndexError, f"Instance {shown} is not defined in {path}!")

"""Hostile settings files and calls: each ends in a clean error or in the documented result.

Every case runs in a child interpreter with limits on CPU time and memory and
a timeout, so that a crash, a hang or a runaway allocation fails that case
and not the suite.
"""

import json
import os
import re
import resource
import string
import subprocess
import sys

import pytest

# Runs the calls of its argument against a fresh engine and prints, for each
# call, its result in brief or the exception it raised with its cause.
CHILD = """
import json, math, sys
from rarovaredivar import Background

def described(error):
    if error is None:
        return None
    return {"type": type(error).__name__, "message": str(error), "cause": described(error.__cause__)}

def brief(result):
    if result is None:
        return None
    return {"length": len(result)}

task = json.loads(sys.argv[1])
outcomes = []
engine = None
for name, *arguments in task["calls"]:
    arguments = [float(a) if isinstance(a, str) and a in ("nan", "inf", "-inf") else a for a in arguments]
    try:
        if name == "Background":
            engine = Background(*arguments)
            outcomes.append({"ok": None})
        else:
            outcomes.append({"ok": brief(getattr(engine, name)(*arguments))})
    except Exception as error:
        outcomes.append({"error": described(error)})
print(json.dumps(outcomes))
"""

# Under the sanitizers the address space is mostly shadow memory; there the
# CPU limit and the timeout still hold.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
MEMORY_LIMIT = 2 << 30
CPU_SECONDS = 120 if UNDER_ASAN else 30
TIMEOUT = 2 * CPU_SECONDS


def _limit_child():
    resource.setrlimit(resource.RLIMIT_CPU, (CPU_SECONDS, CPU_SECONDS))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if not UNDER_ASAN:
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def run_isolated(calls):
    """Runs the calls in a limited child and returns one outcome per call."""
    try:
        result = subprocess.run(
            [sys.executable, "-c", CHILD, json.dumps({"calls": calls})],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
            preexec_fn=_limit_child,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"child still running after {TIMEOUT} s", pytrace=False)
    assert result.returncode == 0, f"child ended with {result.returncode}:\n{result.stderr[-3000:]}"
    return json.loads(result.stdout.splitlines()[-1])


def expect_error(outcome, error, message, cause=None):
    """Asserts an error outcome: type and message start, and those of its cause."""
    assert "error" in outcome, f"no error, got {outcome}"
    got = outcome["error"]
    assert got["type"] == error.__name__, got
    assert re.match(message, got["message"]), got
    if cause is not None:
        cause_error, cause_message = cause
        assert got["cause"] is not None, got
        assert got["cause"]["type"] == cause_error.__name__, got
        assert re.match(cause_message, got["cause"]["message"]), got


SETTINGS = string.Template(
    """\
lib:
  provider: mock
  generator: $generator
  model: $model
  num_channels: 16
  start_time: $start_time
  meta_gen_type: 2
providers:
  mock:
    class: MockProvider
    num_showers: 2000
    index: -2.0
    e_min: 1000.0
    e_max: 1000000.0
    r_max: 100.0
    theta_max: 0.5
generators:
  npe:
    class: NPEGenerator
    num_pe: 1
  after:
    class: AfterpulseGenerator
    base_generator: npe
    probability: $probability
    delay_mean: 2.0e-6
    delay_var: 2.5e-13
    num_pe_mean: 1.5
    seed: 1
models:
  dark:
    class: DarkCountModel
    gen_type: 1
    seed: 7
    num_channels: $channels
    rate: $rate
  showers:
    class: CosmicRayModel
    provider: mock
    flux: $flux
    warn_invalid: false
    e_min: $e_min
    e_max: 1000000.0
    theta_max: $theta_max
    r_max: 100.0
    throw_index: -2.0
    gen_type: 2
    seed: 77
$models
fluxes:
  power:
    class: PowerLawFlux
    index: -2.7
    f_ref: $f_ref
    e_ref: $e_ref
  table:
    class: TabulatedFlux
    table: $table
    log_interpolate: false
    integration_steps: $steps
"""
)

DEFAULTS = dict(
    generator="npe",
    model="dark",
    start_time="0.0",
    probability="0.05",
    channels="16",
    rate="2000.0",
    flux="power",
    e_min="1000.0",
    theta_max="0.5",
    models="",
    f_ref="18000.0",
    e_ref="1.0",
    table="table.txt",
    steps="2000",
)

# A flux table over the showers' energies; one variant dips below zero near
# 1500 GeV while its integral stays positive.
TABLE = "1000 1e-3\n1000000 1e-3\n"
DIPPING_TABLE = "1000 1e-3\n1400 1e-3\n1500 -1e-3\n1600 1e-3\n1000000 1e-3\n"


def settings_text(**changes):
    return SETTINGS.substitute({**DEFAULTS, **changes})


def chain(kind, length):
    """The section entries of `length` instances, each naming the next."""
    if kind == "models":
        links = [f"  chain{i}: {{class: GenericModel, models: {{chain{i + 1}: ~}}}}" for i in range(length - 1)]
        last = f"  chain{length - 1}: {{class: DarkCountModel, gen_type: 1, seed: 1, num_channels: 1, rate: 1.0}}"
    else:
        links = [
            f"  link{i}: {{class: AfterpulseGenerator, base_generator: link{i + 1}, probability: 0.5,"
            f" delay_mean: 1.0e-6, delay_var: 1.0e-14, num_pe_mean: 1.0, seed: 1}}"
            for i in range(length - 1)
        ]
        last = f"  link{length - 1}: {{class: NPEGenerator, num_pe: 1}}"
    return "\n".join(links + [last]) + "\n"


def deep_generators(text):
    """Puts a chain of 20000 generators at the end of section "generators"."""
    return text.replace("models:\n  dark:", chain("generators", 20000) + "models:\n  dark:", 1)


def fifo(directory, name):
    path = directory / name
    os.mkfifo(path)
    return path


# (id, settings text or bytes, changes of the path, error, message, cause)
# Messages are regular expressions matched at the start, after {settings}
# and {dir} are filled in (escaped).
SETTINGS_CASES = [
    (
        "model listed twice",
        settings_text(model="both", models="  both: {class: GenericModel, models: {dark: ~, showers: ~, dark: ~}}"),
        None,
        RuntimeError,
        "Failed to load yaml file {settings}",
        (ValueError, r"Key dark is given twice in one map, at lines (\d+) and \1!"),
    ),
    (
        "section given twice",
        settings_text() + "models: {}\n",
        None,
        RuntimeError,
        "Failed to load yaml file {settings}",
        (ValueError, r"Key models is given twice in one map, at lines \d+ and \d+!"),
    ),
    (
        "second document",
        settings_text() + "---\nlib: {model: showers}\n",
        None,
        RuntimeError,
        "Failed to load yaml file {settings}",
        (ValueError, r"A settings file holds one YAML document, but a second one starts at line \d+!"),
    ),
    (
        "settings path is a FIFO",
        settings_text(),
        lambda directory, path: fifo(directory, "fifo.yaml"),
        RuntimeError,
        "Failed to load yaml file {dir}/fifo.yaml",
        (RuntimeError, r"{dir}/fifo\.yaml is not a regular file!"),
    ),
    (
        "settings path is /dev/zero",
        settings_text(),
        lambda directory, path: "/dev/zero",
        RuntimeError,
        "Failed to load yaml file /dev/zero",
        (RuntimeError, r"/dev/zero is not a regular file!"),
    ),
    (
        "settings path is a directory",
        settings_text(),
        lambda directory, path: directory,
        RuntimeError,
        "Failed to load yaml file {dir}:",
        (RuntimeError, r"{dir} is not a regular file!"),
    ),
    (
        # The system would open the file named by the part before the NUL.
        "settings path holds a NUL",
        settings_text(),
        lambda directory, path: f"{path}\0.bak",
        RuntimeError,
        r"Failed to load yaml file {settings}\\0\.bak",
        (RuntimeError, r"File name {settings}\\0\.bak holds a NUL character!"),
    ),
    (
        "flux table is a FIFO",
        settings_text(model="showers", flux="table", table="fifo.txt"),
        lambda directory, path: fifo(directory, "fifo.txt") and path,
        RuntimeError,
        r"{dir}/fifo\.txt is not a regular file! \(instance table in {settings}\)",
        None,
    ),
    (
        "flux table is /dev/zero",
        settings_text(model="showers", flux="table", table="/dev/zero"),
        None,
        RuntimeError,
        r"/dev/zero is not a regular file! \(instance table in {settings}\)",
        None,
    ),
    (
        "flux table line without end",
        settings_text(model="showers", flux="table", table="endless.txt"),
        lambda directory, path: (directory / "endless.txt").write_text("1000 1\n" + "9" * (1 << 20)) and path,
        RuntimeError,
        r"Line 2 of flux table {dir}/endless\.txt is longer than 65536 bytes! \(instance table in {settings}\)",
        None,
    ),
    (
        "chain of 20000 models",
        settings_text(model="chain0", models=chain("models", 20000)),
        None,
        ValueError,
        r"Instance chain0 starts a chain of instances nested more than 100 deep in {settings}!",
        None,
    ),
    (
        "chain of 20000 generators",
        deep_generators(settings_text(generator="link0")),
        None,
        ValueError,
        r"Instance link0 starts a chain of instances nested more than 100 deep in {settings}!",
        None,
    ),
    (
        "models in a ring",
        settings_text(
            model="ring_a",
            models="  ring_a: {class: GenericModel, models: {dark: ~, ring_b: ~}}\n"
            "  ring_b: {class: GenericModel, models: {ring_a: ~}}",
        ),
        None,
        ValueError,
        r"Instance ring_a refers to itself in {settings}: ring_a -> ring_b -> ring_a!",
        None,
    ),
    (
        "theta_max NaN",
        settings_text(model="showers", theta_max=".nan"),
        None,
        ValueError,
        r"All _max parameters have to be positive!$",
        None,
    ),
    (
        "e_min NaN",
        settings_text(model="showers", e_min=".nan"),
        None,
        ValueError,
        r"0 < e_min < e_max required!$",
        None,
    ),
    (
        "theta_max beyond the horizon",
        settings_text(model="showers", theta_max="2.0"),
        None,
        ValueError,
        r"theta_max 2 is above pi/2! \(instance showers in {settings}\)",
        None,
    ),
    (
        "negative f_ref",
        settings_text(model="showers", f_ref="-18000.0"),
        None,
        ValueError,
        r"The integral of flux power from 1000 to 1e\+06 GeV is -[0-9.e+-]+; it must be finite and positive! "
        r"\(instance showers in {settings}\)",
        None,
    ),
    (
        "NaN f_ref",
        settings_text(model="showers", f_ref=".nan"),
        None,
        ValueError,
        r"The integral of flux power from 1000 to 1e\+06 GeV is nan; it must be finite and positive!",
        None,
    ),
    (
        "e_ref 0",
        settings_text(model="showers", e_ref="0.0"),
        None,
        ValueError,
        r"The integral of flux power from 1000 to 1e\+06 GeV is 0; it must be finite and positive!",
        None,
    ),
    (
        "integration_steps 0",
        settings_text(model="showers", flux="table", steps="0"),
        None,
        ValueError,
        r"The integral of flux table from 1000 to 1e\+06 GeV is 0; it must be finite and positive!",
        None,
    ),
    (
        "table with negative values",
        settings_text(model="showers", flux="table", table="dipping.txt"),
        lambda directory, path: (directory / "dipping.txt").write_text(DIPPING_TABLE) and path,
        ValueError,
        r"Shower \d+ gets the rate -[0-9.e+-]+ per second from flux table; rates must be finite and not negative! "
        r"\(instance showers in {settings}\)",
        None,
    ),
    (
        "negative num_channels",
        settings_text(channels="-1"),
        None,
        ValueError,
        r"num_channels must not be negative, got -1! \(instance dark in {settings}\)",
        None,
    ),
    (
        "afterpulse probability above 1",
        settings_text(generator="after", probability="2"),
        None,
        ValueError,
        r"Afterpulse probability 2 is not in \[0, 1\]! \(instance after in {settings}\)",
        None,
    ),
    (
        "instance name not UTF-8",
        settings_text(model="caf\xe9").encode("latin-1"),
        None,
        IndexError,
        r"Instance caf\\xe9 is not defined in {settings}!",
        None,
    ),
    (
        "class name not UTF-8",
        settings_text(model="odd", models="  odd: {class: \xffModel}").encode("latin-1"),
        None,
        IndexError,
        r"Class \\xffModel cannot be instantiated by this factory!",
        None,
    ),
    (
        "repeated key not UTF-8",
        settings_text(model="both", models="  both: {class: GenericModel, models: {\xff: ~, \xff: ~}}").encode("latin-1"),
        None,
        RuntimeError,
        "Failed to load yaml file {settings}",
        (ValueError, r"Key \\xff is given twice in one map"),
    ),
]


@pytest.mark.parametrize(
    "text, path_of, error, message, cause", [case[1:] for case in SETTINGS_CASES], ids=[c[0] for c in SETTINGS_CASES]
)
def test_hostile_settings_file(tmp_path, text, path_of, error, message, cause):
    settings = tmp_path / "settings.yaml"
    (settings.write_bytes if isinstance(text, bytes) else settings.write_text)(text)
    (tmp_path / "table.txt").write_text(TABLE)
    path = str(path_of(tmp_path, settings) if path_of else settings)

    def filled(pattern):
        return pattern.format(settings=re.escape(str(settings)), dir=re.escape(str(tmp_path)))

    [outcome] = run_isolated([["Background", path]])
    expect_error(outcome, error, filled(message), cause and (cause[0], filled(cause[1])))


def test_valid_settings_of_the_table_build(tmp_path):
    # The base of the cases above is sound: each model runs.
    settings = tmp_path / "settings.yaml"
    (tmp_path / "table.txt").write_text(TABLE)
    for changes, call in [
        ({}, ["next_chunk", 0.01]),
        ({"generator": "after"}, ["next_chunk", 0.01]),
        ({"model": "showers"}, ["generate_metadata", 0.0, 0.01]),
        ({"model": "showers", "flux": "table"}, ["generate_metadata", 0.0, 0.01]),
    ]:
        settings.write_text(settings_text(**changes))
        outcomes = run_isolated([["Background", str(settings)], call])
        assert outcomes[0] == {"ok": None}, (changes, outcomes)
        assert some_entries(outcomes[1]), (changes, outcomes)


def ok(length=None):
    return lambda outcome: outcome == {"ok": None if length is None else {"length": length}}


def some_entries(outcome):
    return outcome.get("ok") is not None and outcome["ok"]["length"] > 0


def refused(error, message):
    return lambda outcome: expect_error(outcome, error, message) is None


# (id, settings changes, calls after construction, one check per call)
CALL_CASES = [
    ("negative span", {}, [["next_chunk", -1.0]], [refused(ValueError, r"Time span must not be negative, got -1!$")]),
    ("NaN span", {}, [["next_chunk", "nan"]], [refused(ValueError, r"Time span must be finite!$")]),
    ("infinite span", {}, [["next_chunk", "inf"]], [refused(ValueError, r"Time span must be finite!$")]),
    (
        "span lost at a late start",
        {"start_time": "1.0e17"},
        [["next_chunk", 1.0], ["next_chunk", 0.0], ["next_chunk", 64.0]],
        [
            refused(ValueError, r"Time span 1 is too small to move the chunk end beyond 1e\+17!$"),
            ok(0),
            some_entries,
        ],
    ),
    (
        "span lost after a far seek, and back",
        {},
        [["seek", 1e308], ["next_chunk", 1.0], ["next_chunk", 1e308], ["seek", 0.0], ["next_chunk", 0.01]],
        [
            ok(),
            refused(ValueError, r"Time span 1 is too small to move the chunk end beyond 1e\+308!$"),
            refused(ValueError, r"Chunk end must be finite!$"),
            ok(),
            some_entries,
        ],
    ),
    (
        "tiny span",
        {},
        [["seek", 3.0], ["next_chunk", 1e-300]],
        [ok(), refused(ValueError, r"Time span 1e-300 is too small to move the chunk end beyond 3!$")],
    ),
    ("NaN seek", {}, [["seek", "nan"]], [refused(ValueError, r"Seek time must be finite!$")]),
    (
        "NaN metadata interval",
        {},
        [["generate_metadata", "nan", 1.0]],
        [refused(ValueError, r"Interval bounds must be finite!$")],
    ),
    (
        "reversed metadata interval of showers",
        {"model": "showers"},
        [["generate_metadata", 5.0, 1.0]],
        [refused(IndexError, r"Time 'begin=5\.000000e\+00' is after time `end=1\.000000e\+00`!$")],
    ),
    (
        "span too long to draw",
        {},
        [["next_chunk", 1e9]],
        [refused(ValueError, r"Poisson mean 2e\+12 is too large to draw a count")],
    ),
    (
        # Without channels there is nothing to draw, whatever the rate.
        "no channels at any rate",
        {"channels": "0", "rate": "1.0e300"},
        [["next_chunk", 1.0], ["next_chunk", 1e9], ["generate_metadata", 0.0, 1e9]],
        [ok(0), ok(0), ok(0)],
    ),
    ("span of the wrong type", {}, [["next_chunk", "soon"]], [refused(TypeError, r"next_chunk\(\): incompatible")]),
]


@pytest.mark.parametrize(
    "changes, calls, checks", [case[1:] for case in CALL_CASES], ids=[case[0] for case in CALL_CASES]
)
def test_hostile_call(tmp_path, changes, calls, checks):
    settings = tmp_path / "settings.yaml"
    settings.write_text(settings_text(**changes))
    outcomes = run_isolated([["Background", str(settings)]] + calls)
    assert outcomes[0] == {"ok": None}, outcomes[0]
    assert len(outcomes) == len(checks) + 1
    for call, outcome, check in zip(calls, outcomes[1:], checks):
        assert check(outcome), (call, outcome)

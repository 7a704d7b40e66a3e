"""The example that splits a run into windows, each simulated in a process of its own."""

import pathlib
import re
import subprocess
import sys

import pytest

import rarovaredivar

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
PREPARE = pathlib.Path(rarovaredivar.__file__).parent / "examples" / "prepare_replay"

# Dark counts only, so that what differs between windows is the noise alone.
DARK_COUNTS = """\
lib: {provider: mock, generator: npe, model: dark, num_channels: 8, start_time: $start_time, meta_gen_type: 2}
providers:
  mock: {class: MockProvider, theta_max: 0.5, r_max: 300.0, e_max: 100000.0, e_min: 100.0, index: -2.7,
         num_showers: 10}
generators: {npe: {class: NPEGenerator, num_pe: 1}}
models: {dark: {class: DarkCountModel, gen_type: 0, seed: SEED, num_channels: 8, rate: 5000.0}}
"""

LINE = re.compile(r"^window (\d+)  \[.*\)  (.*)  p\.e\.s (\d+)  showers (\d+)  digest ([0-9a-f]{16})$")


def run_windows(*arguments):
    """What the example prints, by window: (seeds, p.e.s, showers, digest)."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "run_windows.py"), "--workers", "2", *map(str, arguments)],
        capture_output=True, text=True, check=True, timeout=300,
    )
    windows = {}
    for line in result.stdout.splitlines():
        match = LINE.match(line)
        assert match, line
        windows[int(match[1])] = (match[2], int(match[3]), int(match[4]), match[5])
    return windows


@pytest.fixture
def template(tmp_path):
    def make(seed):
        path = tmp_path / f"template_{seed}.yaml"
        path.write_text(DARK_COUNTS.replace("SEED", seed))
        return path

    return make


def test_every_window_draws_its_own_noise_and_a_window_again_the_same(template):
    own = template("$dark_seed")
    run = run_windows("--template", own, "--windows", 3, "--length", 0.05, "--span", 0.01)
    assert sorted(run) == [0, 1, 2]
    digests = [run[w][3] for w in range(3)]
    assert len(set(digests)) == 3
    assert all(run[w][1] > 1000 for w in run)
    # Window 1 alone, in another run: the same settings, the same p.e.s.
    assert run_windows("--template", own, "--first", 1, "--windows", 1, "--length", 0.05) == {1: run[1]}


def test_equal_seeds_draw_the_same_noise_shifted_in_time(template):
    # What the per-window seeds are for: one seed for every window repeats the pattern (p.e. for p.e. where
    # the chunks are equally long to the bit, as with these binary fractions of a second).
    run = run_windows("--template", template("7"), "--windows", 3, "--length", 0.0625, "--span", 0.0078125)
    assert run[0] == run[1] == run[2]


def test_windows_share_one_replay(tmp_path):
    replay = tmp_path / "replay"
    replay.mkdir()
    subprocess.run(
        [str(PREPARE), str(EXAMPLES / "background.yaml"), "showers", "0", "2", str(replay / "showers.evt"),
         str(replay / "showers"), "500"],
        check=True, capture_output=True, timeout=120,
    )
    run = run_windows("--replay", replay, "--windows", 2, "--length", 0.5, "--span", 0.05)
    assert run[0][3] != run[1][3]
    assert all(run[w][2] > 0 for w in run), "shower events in every window"
    assert "dark_count_seed=" in run[0][0] and "afterpulse_seed=" in run[0][0]

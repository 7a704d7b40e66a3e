"""Settings files for the tests: a dark-count engine over a mock provider."""

import textwrap

import pytest

DARK_COUNTS = """\
lib:
  provider: mock
  generator: npe
  model: dark
  num_channels: {channels}
  start_time: {start_time}
  meta_gen_type: 0
providers:
  mock:
    class: MockProvider
    theta_max: 0.5
    r_max: 300.0
    e_max: 100000.0
    e_min: 100.0
    index: -2.7
    num_showers: 1000
generators:
  npe:
    class: NPEGenerator
    num_pe: 1
models:
  dark:
    class: DarkCountModel
    gen_type: 0
    seed: {seed}
    num_channels: {model_channels}
    rate: {rate}
"""


def dark_counts(channels=16, rate=2000.0, start_time=0.0, seed=7, model_channels=None):
    """A settings text whose model draws dark counts on `model_channels` channels."""
    return DARK_COUNTS.format(
        channels=channels,
        start_time=start_time,
        seed=seed,
        model_channels=channels if model_channels is None else model_channels,
        rate=rate,
    )


@pytest.fixture
def settings_file(tmp_path):
    """Writes a settings text to a file in a fresh directory and returns its path as str."""

    def write(text, name="settings.yaml"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text))
        return str(path)

    return write


@pytest.fixture
def dark_count_file(settings_file):
    """Writes a dark-count settings file; keywords as for `dark_counts`."""
    return lambda **options: settings_file(dark_counts(**options))

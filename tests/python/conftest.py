"""Settings files for the tests: a dark-count engine over a mock provider."""

import faulthandler
import os
import sys
import textwrap

import pytest

# Each test gets TEST_LIMIT seconds, far above the 20 s the slowest takes against the sanitized module
# on a busy machine and above the tests' own limits for their child processes (300 s at most), so that
# a hang fails the run instead of holding it. The module keeps the interpreter lock during its calls, so
# a hang inside one never returns to Python, where a signal handler or a timer thread would end it:
# faulthandler's watchdog runs outside the interpreter, prints the stack of every thread (the test's own
# among them) and exits with status 1.
TEST_LIMIT = 600
_WATCHDOG_FD = pytest.StashKey[int]()


def pytest_configure(config):
    # Output capture is suspended here, so this is the terminal's standard error: a test's capture of
    # descriptor 2 would swallow the watchdog's report.
    config.stash[_WATCHDOG_FD] = os.dup(sys.stderr.fileno())


def pytest_unconfigure(config):
    os.close(config.stash[_WATCHDOG_FD])


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item, nextitem):
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True, file=item.config.stash[_WATCHDOG_FD])
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


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

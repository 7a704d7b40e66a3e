"""Showers, dark counts and afterpulses from the example settings, from Python."""

import math
import pathlib

from rarovaredivar import Background, Metadata

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "background.yaml"


def test_metadata_of_the_showers_behind_the_events():
    engine = Background(str(EXAMPLE))
    showers = engine.generate_metadata(begin=20.0, end=21.0)
    # About 2030 showers per second over the core disk and zenith cone.
    assert abs(len(showers) - 2032) < 5 * math.sqrt(2032)
    for shower in showers:
        assert shower.uid < 10000
        assert 20.0 <= shower.time < 21.0
        assert shower.primary == Metadata.Primary.PROTON
        assert 1e3 <= shower.energy <= 1e6


def test_chunks_carry_dark_counts_with_afterpulses():
    engine = Background(str(EXAMPLE))
    span, chunks = 0.01, 50
    total = 0
    for _ in range(chunks):
        for channel, times in engine.next_chunk(span):
            assert 0 <= channel < 64
            total += len(times)
    # 1.075 p.e.s per dark count: 5 % of the p.e.s bring 1.5 afterpulse p.e.s.
    dark = 64 * 2000 * span * chunks
    assert abs(total - 1.075 * dark) < 5 * math.sqrt(1.34 * dark) + 20


"""The shower record and its primary-particle enumeration."""

import enum

import pytest

from rarovaredivar import Metadata

ATTRIBUTES = [
    ("uid", "Unique ID of the shower."),
    ("primary", "Type of primary particle (gamma = 1, proton = 14)."),
    ("energy", "Energy of the primary particle in GeV."),
    ("x", "X position of the shower core in meters."),
    ("y", "Y position of the shower core in meters."),
    ("theta", "Zenith angle of the shower in radians."),
    ("phi", "Azimuth angle of the shower in radians."),
    ("time", "Arrival time of the shower in seconds."),
]


def test_attributes_in_order_with_docstrings():
    properties = [(name, value.__doc__) for name, value in vars(Metadata).items() if isinstance(value, property)]
    assert properties == ATTRIBUTES


def test_new_record_is_zero():
    m = Metadata()
    assert (m.uid, m.energy, m.x, m.y, m.theta, m.phi, m.time) == (0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)
    # 0 is no primary particle.
    with pytest.raises(ValueError):
        m.primary


@pytest.mark.parametrize(
    "name, value",
    [
        ("uid", 2**64 - 1),
        ("primary", Metadata.PROTON),
        ("primary", Metadata.Primary.GAMMA),
        ("energy", 1.5e5),
        ("x", -12.25),
        ("y", 3.0),
        ("theta", 0.5),
        ("phi", 6.0),
        ("time", 1.0e9),
    ],
)
def test_attributes_read_back(name, value):
    m = Metadata()
    setattr(m, name, value)
    assert getattr(m, name) == value
    assert type(getattr(m, name)) is type(value)


@pytest.mark.parametrize(
    "name, value",
    [("primary", 14), ("primary", 1), ("uid", -1), ("uid", 2**64)],
)
def test_assignments_of_the_wrong_type_are_refused(name, value):
    with pytest.raises(TypeError):
        setattr(Metadata(), name, value)


def test_primary_is_a_native_int_enum_exported_into_metadata():
    assert issubclass(Metadata.Primary, enum.IntEnum)
    assert [(p.name, p.value) for p in Metadata.Primary] == [("GAMMA", 1), ("PROTON", 14)]
    assert Metadata.GAMMA is Metadata.Primary.GAMMA and Metadata.PROTON is Metadata.Primary.PROTON
    assert Metadata.GAMMA == 1 and Metadata.Primary.PROTON == 14


def _record(**fields):
    m = Metadata()
    for name, value in fields.items():
        setattr(m, name, value)
    return m


@pytest.mark.parametrize(
    "record, text",
    [
        (
            Metadata(),
            "<Metadata(uid = 0, primary = GAMMA, energy = 0.000e+00 GeV, x = 0 m, y = 0 m, "
            "theta = 0.000, phi = 0.000, time = 0.000e+00 s)>",
        ),
        (
            _record(
                uid=2**64 - 1, primary=Metadata.PROTON, energy=12345.678, x=-12.6, y=0.4, theta=0.12345,
                phi=3.14159, time=1.5e9,
            ),
            "<Metadata(uid = 18446744073709551615, primary = PROTON, energy = 1.235e+04 GeV, x = -13 m, "
            "y = 0 m, theta = 0.123, phi = 3.142, time = 1.500e+09 s)>",
        ),
        (
            _record(uid=5, primary=Metadata.GAMMA, energy=0.5, x=1e3, y=-2.5, theta=1.0, phi=0.0, time=-0.25),
            "<Metadata(uid = 5, primary = GAMMA, energy = 5.000e-01 GeV, x = 1000 m, y = -2 m, "
            "theta = 1.000, phi = 0.000, time = -2.500e-01 s)>",
        ),
    ],
    ids=["zero", "proton", "gamma"],
)
def test_repr(record, text):
    assert repr(record) == text

"""The three bound vector classes."""

import numpy
import pytest

from rarovaredivar import DoubleVector, Metadata, MetadataVector, PEListVector


def _is_module_local(cls):
    # The binding library marks a class registered for this module only.
    return any(name.startswith("__pybind11_module_local") for name in vars(cls))


@pytest.mark.parametrize(
    "cls, local",
    [(Metadata, False), (MetadataVector, False), (DoubleVector, True), (PEListVector, True)],
)
def test_vector_classes_local_or_global(cls, local):
    assert _is_module_local(cls) is local


def test_list_protocol():
    times = DoubleVector([0.5, 1.5, 2.5])
    times.append(3.5)
    assert len(times) == 4 and times[-1] == 3.5 and list(times[1:3]) == [1.5, 2.5]
    chunk = PEListVector([(2, times), (7, DoubleVector([9.0]))])
    channel, read = chunk[1]
    assert (channel, type(read), list(read)) == (7, DoubleVector, [9.0])
    assert [c for c, _ in chunk] == [2, 7]


def test_elements_refer_into_their_vector():
    records = MetadataVector([Metadata(), Metadata()])
    record = records[1]
    record.uid = 42
    assert records[1].uid == 42 and records[0].uid == 0

    chunk = PEListVector([(3, DoubleVector([1.0]))])
    _, times = chunk[0]
    times.append(2.0)
    assert list(chunk[0][1]) == [1.0, 2.0]


def test_numpy_views_double_vector_without_a_copy():
    chunk = PEListVector([(3, DoubleVector([0.5, 1.5, 2.5]))])
    _, times = chunk[0]
    view = numpy.asarray(times)
    assert view.dtype == numpy.float64 and view.tolist() == [0.5, 1.5, 2.5]
    # Writes go through in both directions: the view is the vector's memory.
    view[1] = 9.0
    times[0] = -1.0
    assert list(chunk[0][1]) == [-1.0, 9.0, 2.5] and view[0] == -1.0

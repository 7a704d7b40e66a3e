"""The three bound vector classes."""

import random

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


RESIZING = [
    ("append", lambda v: v.append(4.0)),
    ("extend by a vector", lambda v: v.extend(DoubleVector([4.0] * 1000))),
    ("extend by a list", lambda v: v.extend([4.0] * 1000)),
    ("insert", lambda v: v.insert(0, 4.0)),
    ("pop", lambda v: v.pop()),
    ("pop at", lambda v: v.pop(0)),
    ("remove", lambda v: v.remove(1.5)),
    ("clear", lambda v: v.clear()),
    ("del at", lambda v: v.__delitem__(0)),
    ("del one-element slice", lambda v: v.__delitem__(slice(1, 2))),
    ("del slice", lambda v: v.__delitem__(slice(0, 2))),
    ("del stepped slice", lambda v: v.__delitem__(slice(None, None, 2))),
]


@pytest.mark.parametrize("name, resize", RESIZING, ids=[name for name, _ in RESIZING])
def test_a_vector_with_views_refuses_to_move_its_elements(name, resize):
    for times in (DoubleVector([0.5, 1.5, 2.5]), PEListVector([(1, DoubleVector([0.5, 1.5, 2.5]))])[0][1]):
        view = numpy.asarray(times)
        with pytest.raises(BufferError, match="^Existing exports of data: object cannot be re-sized$"):
            resize(times)
        assert list(times) == [0.5, 1.5, 2.5] and view.tolist() == [0.5, 1.5, 2.5]
        # Elements may still change, in place.
        times[1] = 7.0
        times[0:1] = DoubleVector([6.0])
        assert view.tolist() == [6.0, 7.0, 2.5]
        times[0:2] = DoubleVector([0.5, 1.5])
        second = memoryview(times)
        del view
        with pytest.raises(BufferError):
            resize(times)
        second.release()
        resize(times)  # no view left


def test_views_of_one_vector_through_several_objects_count_together():
    chunk = PEListVector([(1, DoubleVector([0.5, 1.5]))])
    view = numpy.asarray(chunk[0][1])
    with pytest.raises(BufferError):
        chunk[0][1].append(1.0)
    del view
    chunk[0][1].append(2.5)
    assert list(chunk[0][1]) == [0.5, 1.5, 2.5]
    # A view of no element views no memory.
    empty = DoubleVector()
    nothing = numpy.asarray(empty)
    empty.extend([1.0, 2.0])
    assert nothing.size == 0 and list(empty) == [1.0, 2.0]


def test_failed_operations_keep_their_errors():
    times = DoubleVector([0.5])
    view = numpy.asarray(times)
    with pytest.raises(ValueError):
        times.remove(9.0)
    with pytest.raises(IndexError):
        times.pop(5)
    empty = DoubleVector()
    with pytest.raises(IndexError):
        empty.pop()
    del view
    with pytest.raises(RuntimeError, match="Unable to cast"):
        times.extend([1.0, "text"])
    assert list(times) == [0.5]


def test_views_of_many_vectors_come_and_go_in_any_order():
    # Thousands of vectors with views made and dropped at random: exactly those with a view refuse to grow.
    rng = random.Random(5)
    vectors = [DoubleVector([float(i)]) for i in range(3000)]
    views = [[] for _ in vectors]
    for step in range(30000):
        i = rng.randrange(len(vectors))
        if rng.random() < 0.55:
            views[i].append(numpy.asarray(vectors[i]) if rng.random() < 0.5 else memoryview(vectors[i]))
        elif views[i]:
            views[i].pop(rng.randrange(len(views[i])))
        if step % 7 == 0:
            j = rng.randrange(len(vectors))
            if views[j]:
                with pytest.raises(BufferError):
                    vectors[j].append(1.0)
            else:
                vectors[j].append(1.0)
                vectors[j].pop()
    for view_list in views:
        view_list.clear()
    for vector in vectors:
        vector.append(2.0)


class _ViewOnLengthHint:
    """Two values, whose length hint takes a view of `target`: Python code that runs inside extend."""

    def __init__(self, target):
        self.target = target
        self.views = []

    def __iter__(self):
        return iter([1.0, 2.0])

    def __length_hint__(self):
        self.views.append(memoryview(self.target))
        return 100000


def _view_midway(target, views):
    for i in range(1000):
        if i == 1:
            views.append(numpy.asarray(target))
        yield float(i)


@pytest.mark.parametrize("source", ["generator", "length hint", "conversion"])
def test_a_view_made_while_extend_takes_its_items_stops_the_growth(source):
    times = DoubleVector([0.125, 0.25, 0.375])
    views = []

    class ViewOnConversion:
        def __float__(self):
            views.append(numpy.asarray(times))
            return 4.0

    iterable = {
        "generator": lambda: _view_midway(times, views),
        "length hint": lambda: _ViewOnLengthHint(times),
        "conversion": lambda: [ViewOnConversion()] * 1000,
    }[source]()
    with pytest.raises(BufferError):
        times.extend(iterable)
    views += getattr(iterable, "views", [])
    assert list(times) == [0.125, 0.25, 0.375]
    assert all(numpy.asarray(view).tolist() == [0.125, 0.25, 0.375] for view in views)


def test_extending_by_nothing_moves_nothing_and_a_vector_extends_by_itself():
    times = DoubleVector([0.5, 1.5])
    view = numpy.asarray(times)
    times.extend([])
    times.extend(DoubleVector())
    assert view.tolist() == [0.5, 1.5]
    del view
    times.extend(times)
    assert list(times) == [0.5, 1.5, 0.5, 1.5]

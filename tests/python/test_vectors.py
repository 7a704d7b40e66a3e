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


def _slices():
    bounds = [None, -9, -7, -3, -1, 0, 1, 3, 6, 7, 9]
    steps = [None, 1, 2, 3, 6, -1, -2, -3, -7]
    return [slice(start, stop, step) for start in bounds for stop in bounds for step in steps]


@pytest.mark.parametrize("length", [0, 1, 2, 7])
def test_deleting_a_slice_removes_what_a_list_removes(length):
    values = [0.5 + i for i in range(length)]
    for s in _slices():
        expected = values.copy()
        del expected[s]
        times = DoubleVector(values)
        del times[s]
        assert list(times) == expected, s


def _as_list_and_vector(values, operation):
    """What `operation` returns or raises and leaves behind, on a list and on a DoubleVector of `values`."""
    outcomes = []
    for container in (values.copy(), DoubleVector(values)):
        try:
            result = ("returned", operation(container))
        except (IndexError, ValueError) as error:
            result = ("raised", type(error))
        outcomes.append((result, list(container)))
    return outcomes


def test_index_operations_as_on_a_list():
    values = [0.5, 1.5, 2.5, 1.5, 4.5]
    n = len(values)
    for i in range(-n - 2, n + 3):
        as_list, as_vector = _as_list_and_vector(values, lambda v: v.insert(i, 9.0))
        # A list clamps an insert beyond either end; the vector refuses it.
        assert as_vector == (as_list if -n <= i <= n else (("raised", IndexError), values)), i
        for operation in (lambda v: v.pop(i), lambda v: v.__delitem__(i), lambda v: v[i]):
            as_list, as_vector = _as_list_and_vector(values, operation)
            assert as_vector == as_list, i
    for operation in [
        lambda v: v.pop(),
        lambda v: v.remove(1.5),  # the first of two
        lambda v: v.remove(3.0),
        lambda v: v.count(1.5),
        lambda v: v.append(7.0),
        lambda v: v.clear(),
    ]:
        as_list, as_vector = _as_list_and_vector(values, operation)
        assert as_vector == as_list
    for empty_operation in (lambda v: v.pop(), lambda v: v.pop(0), lambda v: v.pop(-1), lambda v: v.remove(0.5)):
        as_list, as_vector = _as_list_and_vector([], empty_operation)
        assert as_vector == as_list


EXTEND_SOURCES = [
    ("empty list", lambda: []),
    ("list", lambda: [3.0]),
    ("tuple", lambda: (3.0, 4.0)),
    ("range", lambda: range(3, 6)),
    ("generator", lambda: (x / 2 for x in range(4))),
    ("vector", lambda: DoubleVector([3.0, 4.0, 5.0])),
    ("numpy array", lambda: numpy.arange(3.0)),
]


@pytest.mark.parametrize("make_items", [make for _, make in EXTEND_SOURCES], ids=[name for name, _ in EXTEND_SOURCES])
def test_extend_appends_in_order(make_items):
    times = DoubleVector([0.5, 1.5])
    times.extend(make_items())
    assert list(times) == [0.5, 1.5] + [float(x) for x in make_items()]


def test_changes_of_no_length_pass_and_bad_indices_stay_index_errors_under_a_view():
    times = DoubleVector([0.5, 1.5, 2.5])
    view = numpy.asarray(times)
    times.extend([])
    del times[1:1]
    del times[2:0:1]
    assert view.tolist() == [0.5, 1.5, 2.5] and list(times) == [0.5, 1.5, 2.5]
    # An index out of range is refused as such before the view is considered.
    for out_of_range in (lambda v: v.__delitem__(3), lambda v: v.__delitem__(-4), lambda v: v.pop(3), lambda v: v.pop(-4)):
        with pytest.raises(IndexError):
            out_of_range(times)


def test_a_view_of_an_emptied_vector_holds_nothing_back():
    # The memory stays allocated after pop and clear, but a view of no element reads none of it.
    for empty in (lambda v: v.pop(), lambda v: v.clear()):
        times = DoubleVector([0.5])
        empty(times)
        views = [numpy.asarray(times), memoryview(times)]
        for value in [1.0, 2.0, 3.0]:
            times.append(value)
        assert list(times) == [1.0, 2.0, 3.0] and [len(view) for view in views] == [0, 0]


@pytest.mark.parametrize("name", ["append", "clear", "extend", "insert", "pop", "remove", "__delitem__"])
def test_docstrings_as_the_standard_binding_gives_them(name):
    # Those operations of DoubleVector are defined anew; PEListVector keeps the binding's own. The signatures
    # agree in names, arguments, overloads and texts, up to the element type.
    standard = getattr(PEListVector, name).__doc__
    for element, as_float in [
        ("tuple[typing.SupportsInt | typing.SupportsIndex, rarovaredivar.DoubleVector]",
         "typing.SupportsFloat | typing.SupportsIndex"),
        ("tuple[int, rarovaredivar.DoubleVector]", "float"),
        ("PEListVector", "DoubleVector"),
    ]:
        standard = standard.replace(element, as_float)
    assert getattr(DoubleVector, name).__doc__ == standard

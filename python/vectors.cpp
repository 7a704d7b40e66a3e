#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "bindings.hpp"

namespace py = pybind11;

namespace rarovaredivar {

namespace {

using Times = std::vector<double>;
using DiffType = Times::difference_type;
using SizeType = Times::size_type;

// Buffer exports of DoubleVectors that are alive, counted by the memory they view (a vector inside a
// PEListVector can be exported through several Python objects). A view of no element views no memory and
// is not counted. Every view adds and removes an entry, so the table is open-addressed (linear probing,
// removal by backward shift) and costs no allocation once grown. The interpreter lock guards it.
class ExportCounts {
public:
    void add(const void* memory) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        Slot& slot = slots_[find(memory)];
        if (slot.count++ == 0) {
            slot.memory = memory;
            ++used_;
        }
    }
    void remove(const void* memory) {
        size_t at = find(memory);
        if (slots_[at].count == 0 || --slots_[at].count > 0) return;
        // Later entries of the same run move back into the gap unless it lies before their home slot.
        const size_t mask = slots_.size() - 1;
        for (size_t next = (at + 1) & mask; slots_[next].count > 0; next = (next + 1) & mask) {
            const size_t home = home_of(slots_[next].memory);
            if (((next - home) & mask) >= ((next - at) & mask)) {
                slots_[at] = slots_[next];
                at = next;
            }
        }
        slots_[at] = {};
        --used_;
    }
    bool contains(const void* memory) const { return used_ > 0 && slots_[find(memory)].count > 0; }

private:
    struct Slot {
        const void* memory = nullptr;
        Py_ssize_t count = 0;
    };
    size_t home_of(const void* memory) const {
        return static_cast<size_t>((reinterpret_cast<std::uintptr_t>(memory) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    // The slot that holds `memory`, or the empty one where it would go.
    size_t find(const void* memory) const {
        const size_t mask = slots_.size() - 1;
        size_t at = home_of(memory);
        while (slots_[at].count > 0 && slots_[at].memory != memory) at = (at + 1) & mask;
        return at;
    }
    void grow() {
        std::vector<Slot> old(2 * slots_.size());
        old.swap(slots_);
        --shift_;
        for (const Slot& slot : old)
            if (slot.count > 0) slots_[find(slot.memory)] = slot;
    }

    std::vector<Slot> slots_ = std::vector<Slot>(64);
    int shift_ = 64 - 6;  // home slots are the top log2(size) bits of the hash
    size_t used_ = 0;
};

ExportCounts& exports() {
    static ExportCounts counts;
    return counts;
}

getbufferproc bound_getbuffer = nullptr;
releasebufferproc bound_releasebuffer = nullptr;

extern "C" int counted_getbuffer(PyObject* object, Py_buffer* view, int flags) {
    if (bound_getbuffer(object, view, flags) != 0) return -1;
    if (view->len == 0) return 0;
    try {
        exports().add(view->buf);
    } catch (const std::bad_alloc&) {
        bound_releasebuffer(object, view);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

extern "C" void counted_releasebuffer(PyObject* object, Py_buffer* view) {
    if (view->len != 0) exports().remove(view->buf);
    bound_releasebuffer(object, view);
}

// A view must never outlive its memory: while one exists, nothing may move or shrink the elements (as
// bytearray refuses).
void refuse_resize_if_exported(const Times& v) {
    if (!v.empty() && exports().contains(v.data()))
        throw py::buffer_error("Existing exports of data: object cannot be re-sized");
}

SizeType wrap_index(DiffType i, SizeType n) {
    if (i < 0) i += static_cast<DiffType>(n);
    if (i < 0 || static_cast<SizeType>(i) >= n) throw py::index_error();
    return static_cast<SizeType>(i);
}

// The vector binding's operations that move or shrink the elements, each as the binding defines it (same
// names, arguments, overloads and texts) after the test for exports.
template <class Class>
void define_resizing_operations(Class& cl) {
    for (const char* name : {"append", "clear", "extend", "insert", "pop", "remove", "__delitem__"})
        py::delattr(cl, name);
    cl.def(
        "append",
        [](Times& v, double value) {
            refuse_resize_if_exported(v);
            v.push_back(value);
        },
        py::arg("x"), "Add an item to the end of the list");
    cl.def(
        "clear",
        [](Times& v) {
            refuse_resize_if_exported(v);
            v.clear();
        },
        "Clear the contents");
    cl.def(
        "extend",
        [](Times& v, const Times& src) {
            if (src.empty()) return;
            refuse_resize_if_exported(v);
            if (&src == &v) {
                // A vector's own elements cannot be the range it inserts.
                const Times copy(src);
                v.insert(v.end(), copy.begin(), copy.end());
            } else {
                v.insert(v.end(), src.begin(), src.end());
            }
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");
    cl.def(
        "extend",
        [](Times& v, const py::iterable& it) {
            // The items are taken first: taking them runs Python code (the length hint, the iteration,
            // the conversions), which may make a view of this very vector.
            Times items;
            items.reserve(py::len_hint(it));
            for (py::handle h : it) items.push_back(h.cast<double>());
            if (items.empty()) return;
            refuse_resize_if_exported(v);
            v.insert(v.end(), items.begin(), items.end());
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");
    cl.def(
        "insert",
        [](Times& v, DiffType i, double x) {
            refuse_resize_if_exported(v);
            if (i < 0) i += static_cast<DiffType>(v.size());
            if (i < 0 || static_cast<SizeType>(i) > v.size()) throw py::index_error();
            v.insert(v.begin() + i, x);
        },
        py::arg("i"), py::arg("x"), "Insert an item at a given position.");
    cl.def(
        "pop",
        [](Times& v) {
            if (v.empty()) throw py::index_error();
            refuse_resize_if_exported(v);
            double t = v.back();
            v.pop_back();
            return t;
        },
        "Remove and return the last item");
    cl.def(
        "pop",
        [](Times& v, DiffType i) {
            SizeType at = wrap_index(i, v.size());
            refuse_resize_if_exported(v);
            double t = v[at];
            v.erase(v.begin() + static_cast<DiffType>(at));
            return t;
        },
        py::arg("i"), "Remove and return the item at index ``i``");
    cl.def(
        "remove",
        [](Times& v, double x) {
            auto p = std::find(v.begin(), v.end(), x);
            if (p == v.end()) throw py::value_error();
            refuse_resize_if_exported(v);
            v.erase(p);
        },
        py::arg("x"), "Remove the first item from the list whose value is x. It is an error if there is no such item.");
    cl.def(
        "__delitem__",
        [](Times& v, DiffType i) {
            SizeType at = wrap_index(i, v.size());
            refuse_resize_if_exported(v);
            v.erase(v.begin() + static_cast<DiffType>(at));
        },
        "Delete the list elements at index ``i``");
    cl.def(
        "__delitem__",
        [](Times& v, const py::slice& slice) {
            ssize_t start = 0, stop = 0, step = 0, slicelength = 0;
            if (!slice.compute(static_cast<ssize_t>(v.size()), &start, &stop, &step, &slicelength))
                throw py::error_already_set();
            if (slicelength > 0) refuse_resize_if_exported(v);
            if (step == 1) {
                v.erase(v.begin() + static_cast<DiffType>(start), v.begin() + static_cast<DiffType>(start + slicelength));
            } else if (slicelength > 0) {
                // In descending index order, so that no erase shifts an index still to be erased.
                if (step > 0) {
                    start += (slicelength - 1) * step;
                    step = -step;
                }
                for (;;) {
                    v.erase(v.begin() + static_cast<DiffType>(start));
                    if (--slicelength == 0) break;
                    start += step;
                }
            }
        },
        "Delete list elements using a slice object");
}

}  // namespace

// The vector binding makes MetadataVector global (its element is a bound
// class) and the other two local to this module. DoubleVector exposes its
// buffer, so numpy.asarray views the times without a copy; its exports are
// counted, so that no operation frees the memory a view still reads.
void define_vectors(py::module_& module) {
    py::bind_vector<std::vector<background::Metadata>>(module, "MetadataVector");
    auto times = py::bind_vector<Times>(module, "DoubleVector", py::buffer_protocol());
    PyBufferProcs* buffer = reinterpret_cast<PyTypeObject*>(times.ptr())->tp_as_buffer;
    bound_getbuffer = buffer->bf_getbuffer;
    bound_releasebuffer = buffer->bf_releasebuffer;
    buffer->bf_getbuffer = counted_getbuffer;
    buffer->bf_releasebuffer = counted_releasebuffer;
    define_resizing_operations(times);
    py::bind_vector<background::PEList>(module, "PEListVector");
}

}  // namespace rarovaredivar

// Values flowing in: Python arguments converted to the native values a method's run() takes.
//
// Each FromPython<T>::convert() returns false with a Python exception set. Conversions run attached
// to the interpreter, before the operation, and may run Python code (an __index__, a sequence's
// iteration); a bulk argument is converted completely before anything changes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/load/end_source.hpp"
#include "core/base/types.hpp"
#include "failures.hpp"
#include "parallel/pool.hpp"
#include "ref.hpp"

namespace qm::py {

static_assert(sizeof(long) == sizeof(std::int64_t), "node ids are read as C long");

template <class T>
struct FromPython;

// The value of an exact int held in a single digit (every id below 2^30 in magnitude), read in
// place: no call, and no Python code run. False, with nothing set, for any other object.
inline bool read_compact_int(PyObject* o, std::int64_t& out) noexcept {
    if (!PyLong_CheckExact(o)) return false;
    const auto* value = reinterpret_cast<const PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(value)) return false;
    out = PyUnstable_Long_CompactValue(value);
    return true;
}

// read_compact_int for both items of an exact 2-tuple.
inline bool read_compact_pair(PyObject* o, std::int64_t& u, std::int64_t& v) noexcept {
    return PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 2 && read_compact_int(PyTuple_GET_ITEM(o, 0), u) &&
           read_compact_int(PyTuple_GET_ITEM(o, 1), v);
}

template <>
struct FromPython<std::int64_t> {
    static bool convert(PyObject* o, std::int64_t& out) {
        if (read_compact_int(o, out)) return true;
        long v = PyLong_AsLong(o);  // long is 64 bits on every platform we build for
        if (v == -1 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct FromPython<std::uint64_t> {
    static bool convert(PyObject* o, std::uint64_t& out) {
        Ref index;
        if (!PyLong_Check(o)) {
            index = Ref(PyNumber_Index(o));
            if (!index) return false;
            o = index.get();
        }
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct FromPython<double> {
    static bool convert(PyObject* o, double& out) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct FromPython<std::pair<std::int64_t, std::int64_t>> {
    static bool convert(PyObject* o, std::pair<std::int64_t, std::int64_t>& out) {
        if (!PyTuple_Check(o)) {
            raise_not_instance(o, "tuple");
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
            return false;
        }
        return FromPython<std::int64_t>::convert(PyTuple_GET_ITEM(o, 0), out.first) &&
               FromPython<std::int64_t>::convert(PyTuple_GET_ITEM(o, 1), out.second);
    }
};

// Checks that o may be read as a sequence (not a str, passes the sequence check) and returns the
// room to reserve for its items; -1 with an exception set when it may not.
Py_ssize_t sequence_room(PyObject* o);

// Items converted between two looks at pending signals: reading a sequence of hundreds of millions
// of items takes seconds, and Ctrl-C should stop it like the operation that follows.
inline constexpr Py_ssize_t kItemsPerSignalCheck = Py_ssize_t{1} << 16;

// Runs the signal handlers every kItemsPerSignalCheck items; false with the exception of a handler
// that raised.
inline bool signals_allow(Py_ssize_t item) {
    return item % kItemsPerSignalCheck != kItemsPerSignalCheck - 1 || PyErr_CheckSignals() == 0;
}

// Calls append(item) for every item of a sequence, in iteration order, stopping at the first false.
// Exact lists and tuples are read by position, which is what their iterators do, without creating
// an iterator. Returns false with an exception set on any failure.
//
// An item that quick(item) takes is done: quick must run no Python code, set no exception and
// throw nothing, and returns false, having done nothing, for an item that needs append. A list's items are offered to
// quick a block at a time while the list is held (its critical section on the free-threaded build,
// the GIL otherwise), so they are read without taking a reference each.
template <class Append, class Quick>
bool for_each_item(PyObject* o, Append&& append, Quick&& quick) {
    if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
            PyObject* item = PyTuple_GET_ITEM(o, i);
            if ((!quick(item) && !append(item)) || !signals_allow(i)) return false;
        }
        return true;
    }
    if (PyList_CheckExact(o)) {
        // The list may change while an item's conversion runs Python code; like the list's own
        // iterator, re-read its length at every step.
        for (Py_ssize_t i = 0;;) {
            Py_ssize_t end = 0;
            Py_BEGIN_CRITICAL_SECTION(o);
            end = std::min(PyList_GET_SIZE(o), i + kItemsPerSignalCheck);
            while (i < end && quick(PyList_GET_ITEM(o, i))) ++i;
            Py_END_CRITICAL_SECTION();
            if (i < end) {  // an item quick left: through append, holding a reference to it
                Ref item(PyList_GetItemRef(o, i));
                if (!item) {
                    PyErr_Clear();  // shrunk under us: the iterator would have stopped here too
                    return true;
                }
                if (!append(item.get()) || !signals_allow(i)) return false;
                ++i;
            } else {
                if (PyErr_CheckSignals() != 0) return false;
                if (i >= PyList_Size(o)) return true;
            }
        }
    }
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    for (Py_ssize_t i = 0; Ref item{PyIter_Next(it.get())}; ++i) {
        if ((!quick(item.get()) && !append(item.get())) || !signals_allow(i)) return false;
    }
    return !PyErr_Occurred();
}

// An argument that is a sequence of node ids. A contiguous buffer of native 64-bit signed integers
// (a numpy int64 array, say) is read where it lies, its buffer held until the call ends, so a load
// of a large array takes no copy of it; anything else is read once, in iteration order, into an
// array of our own. Destroyed attached, like every argument.
class NodeIdsIn {
   public:
    NodeIdsIn() noexcept = default;
    ~NodeIdsIn();
    NodeIdsIn(const NodeIdsIn&) = delete;
    NodeIdsIn& operator=(const NodeIdsIn&) = delete;

    std::span<const NodeId> values() const noexcept { return values_; }
    // Whether the values are a converted copy of our own, which take() hands over (leaving none).
    bool owns_values() const noexcept { return !holds_view_; }
    EndArray take() noexcept {
        values_ = {};
        return std::move(owned_);
    }

   private:
    friend struct FromPython<NodeIdsIn>;
    // Reads a one-dimensional, contiguous buffer of integers (a numpy array, an array.array).
    // Returns 1 when done, 0 when the object offers no such buffer or holds a value that only the
    // item-by-item path reports correctly, -1 with an exception set on failure.
    int read_buffer(PyObject* o);

    EndArray owned_;
    Py_buffer view_{};
    bool holds_view_ = false;
    std::span<const NodeId> values_;
};

// Items of an exact list read on every worker at once from this many on; a shorter run one thread
// reads sooner than it could hand the work out.
inline constexpr Py_ssize_t kParallelReadItems = Py_ssize_t{1} << 14;

// Reads items [first, end) of a list the caller holds, read(item, values) putting item i's kPerItem
// values at out + kPerItem * (i - first), and returns the first item read() rejects, or end. A long
// run is read on every worker: read() only looks at immutable objects that the held list keeps
// alive, so the workers need no thread state of their own.
template <std::size_t kPerItem, class Read>
Py_ssize_t read_list_items(PyObject* list, Py_ssize_t first, Py_ssize_t end, NodeId* out, const Read& read) noexcept {
    auto run = [&](Py_ssize_t from, Py_ssize_t to) {
        for (Py_ssize_t i = from; i < to; ++i)
            if (!read(PyList_GET_ITEM(list, i), out + kPerItem * static_cast<std::size_t>(i - first))) return i;
        return to;
    };
    if (end - first < kParallelReadItems) return run(first, end);
    std::atomic<Py_ssize_t> rejected{end};
    try {
        parallel::for_range(static_cast<std::size_t>(end - first), kParallelReadItems / 4,
                            [&](std::size_t from, std::size_t to) {
                                const Py_ssize_t last = first + static_cast<Py_ssize_t>(to);
                                const Py_ssize_t at = run(first + static_cast<Py_ssize_t>(from), last);
                                if (at == last) return;
                                Py_ssize_t seen = rejected.load(std::memory_order_relaxed);
                                while (at < seen &&
                                       !rejected.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
                                }
                            });
    } catch (...) {
        return run(first, end);  // no pool to be had: this thread reads them all
    }
    return rejected.load(std::memory_order_relaxed);
}

// The quick readers that read_ends() and ListEnds pass to read_list_items(): an item of small plain
// ints, read in place, or false with nothing set.
inline bool read_compact_id(PyObject* item, NodeId* values) noexcept { return read_compact_int(item, values[0]); }
inline bool read_compact_ends(PyObject* item, NodeId* values) noexcept {
    return read_compact_pair(item, values[0], values[1]);
}

// Reads a sequence whose items each stand for kPerItem node ids into out, in iteration order (see
// for_each_item()): the items that quick(item, values) reads in place, and the rest through
// convert(item, values), which may run Python code; both return false for an item they cannot take,
// convert with an exception set. An exact list is read into an array sized to its length, item i at
// kPerItem * i, a block at a time on every worker while the list is held. False, with an exception
// set, on failure.
template <std::size_t kPerItem, class Quick, class Convert>
bool read_ends(PyObject* o, Py_ssize_t room, EndArray& out, const Quick& quick, const Convert& convert) {
    out.clear();
    if (!PyList_CheckExact(o)) {
        out.reserve(kPerItem * static_cast<std::size_t>(room));
        auto append = [&](PyObject* item, const auto& read) {
            NodeId values[kPerItem];
            if (!read(item, values)) return false;
            out.insert(out.end(), values, values + kPerItem);
            return true;
        };
        return for_each_item(
            o, [&](PyObject* item) { return append(item, convert); },
            // Never grows the array (which could throw while the list is held).
            [&](PyObject* item) { return out.capacity() - out.size() >= kPerItem && append(item, quick); });
    }
    // Like the list's own iterator, re-read its length at every step: a conversion may change it.
    out.resize(kPerItem * static_cast<std::size_t>(room));
    Py_ssize_t i = 0;
    // Once quick has left an item, the next stretch is read on this thread: a list of large ints
    // would otherwise hand the pool a whole block for every item, to stop at its first.
    bool left_one = false;
    for (;;) {
        const Py_ssize_t want = std::min(PyList_Size(o), i + kItemsPerSignalCheck);
        if (i >= want) break;
        const auto need = kPerItem * static_cast<std::size_t>(want);
        if (out.size() < need) out.resize(std::max(need, 2 * out.size()));  // it has grown since
        Py_ssize_t end = 0;
        Py_BEGIN_CRITICAL_SECTION(o);
        end = std::min(PyList_GET_SIZE(o), want);
        if (left_one) end = std::min(end, i + kParallelReadItems - 1);
        if (i < end)
            i = read_list_items<kPerItem>(o, i, end, out.data() + kPerItem * static_cast<std::size_t>(i), quick);
        Py_END_CRITICAL_SECTION();
        left_one = i < end;
        if (left_one) {  // an item quick left: converted holding a reference to it
            Ref item(PyList_GetItemRef(o, i));
            if (!item) {
                PyErr_Clear();  // shrunk under us: the iterator would have stopped here too
                break;
            }
            if (!convert(item.get(), out.data() + kPerItem * static_cast<std::size_t>(i)) || !signals_allow(i))
                return false;
            ++i;
        } else if (PyErr_CheckSignals() != 0) {
            return false;
        }
    }
    out.resize(kPerItem * static_cast<std::size_t>(i));
    return true;
}

template <>
struct FromPython<NodeIdsIn> {
    static bool convert(PyObject* o, NodeIdsIn& out) {
        Py_ssize_t room = sequence_room(o);
        if (room < 0) return false;
        int done = out.read_buffer(o);
        if (done != 0) return done > 0;
        const bool ok = read_ends<1>(o, room, out.owned_, read_compact_id, [](PyObject* item, NodeId* values) {
            return FromPython<NodeId>::convert(item, values[0]);
        });
        out.values_ = out.owned_;
        return ok;
    }
};

// An argument that is a sequence of (u, v) tuples of node ids, read into one flat array of ends
// (u0, v0, u1, v1, ...).
struct EdgePairsIn {
    EndArray ends;
};

template <>
struct FromPython<EdgePairsIn> {
    static bool convert(PyObject* o, EdgePairsIn& out) {
        Py_ssize_t room = sequence_room(o);
        if (room < 0) return false;
        return read_ends<2>(
            o, room, out.ends, read_compact_ends, [](PyObject* item, NodeId* values) {
                std::pair<NodeId, NodeId> edge;
                if (!FromPython<std::pair<NodeId, NodeId>>::convert(item, edge)) return false;
                values[0] = edge.first;
                values[1] = edge.second;
                return true;
            });
    }
};

// The edges of a load given as a list so long that it goes in chunks (Graph::load_chunk_edges()),
// whose items are all small plain ints (flat) or exact pairs of them: the load reads the list
// itself, twice, rather than a converted copy that would take more memory than the graph. The list
// is read whole first, so a bad item still fails the call before anything changes; another
// thread's change to it during the load stops the load (SourceChanged), keeping the chunks before.
class ListEnds final : public EndSource {
   public:
    // 1 when o is such a list (read whole, its bounds taken and a reference to it kept), 0 when it
    // is not (nothing set), -1 with an exception set (a signal handler raised).
    int take(PyObject* o, bool pairs);
    bool taken() const noexcept { return list_.get() != nullptr; }

    std::size_t size() const noexcept override { return size_; }
    NodeId low() const noexcept override { return low_; }
    NodeId high() const noexcept override { return high_; }
    // Runs detached or attached; attaches for the reading.
    void read(std::size_t first, std::span<NodeId> out) override;

   private:
    // Reads items [first, first + count) into out while the list is held; false at the first that
    // is gone or not small plain ints.
    bool read_items(Py_ssize_t first, Py_ssize_t count, NodeId* out) const noexcept;

    Ref list_;
    bool pairs_ = false;
    std::size_t size_ = 0;
    NodeId low_ = 0, high_ = 0;
};

// The argument of a load: a list that ListEnds takes, or else any sequence as NodeIdsIn /
// EdgePairsIn read it.
template <class Whole, bool kPairs>
struct LoadIn {
    ListEnds list;
    Whole whole;
};
using FlatLoadIn = LoadIn<NodeIdsIn, false>;
using PairsLoadIn = LoadIn<EdgePairsIn, true>;

template <class Whole, bool kPairs>
struct FromPython<LoadIn<Whole, kPairs>> {
    static bool convert(PyObject* o, LoadIn<Whole, kPairs>& out) {
        const int taken = out.list.take(o, kPairs);
        if (taken != 0) return taken > 0;
        return FromPython<Whole>::convert(o, out.whole);
    }
};

// Converts one argument, applying the argument-error rule on failure.
template <class T>
bool convert_argument(const char* name, PyObject* o, T& out) {
    if (FromPython<T>::convert(o, out)) return true;
    apply_argument_error_rule(name);
    return false;
}

}  // namespace qm::py

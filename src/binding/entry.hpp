// The entry points of IntGraphCore's methods, built from their descriptions (methods.hpp).
//
// A method is described by a small struct (name, doc string with its text signature, parameter
// names, how many are required, typed defaults, borrow kind) and one static `run` function over
// native values. The templates here turn that into the interpreter's entry point:
//
//   bind the arguments -> check the receiver -> take the borrow -> convert every argument (in
//   order, through the argument-error rule) -> run -> convert the result -> release the borrow.
//
// The borrow is taken before any conversion, so Python code that runs while an argument converts
// (an __index__, a sequence's iteration) and calls back into the same graph meets the borrow. A run()
// whose second parameter is a `const Interrupt&` is a long operation: it runs detached from the
// interpreter (detach.hpp) and stops when a signal handler raises; the others are point operations
// that cost less than detaching would and stay attached. Every C++ failure is mapped to a Python
// exception in one place, guarded() (failures.hpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "detach.hpp"
#include "failures.hpp"
#include "from_python.hpp"
#include "instance.hpp"
#include "progress.hpp"
#include "to_python.hpp"

namespace qm::py {

template <class F>
struct RunTraits;
template <class R, class G, class... A>
struct RunTraits<R (*)(G, A...)> {
    using Result = R;
    using Args = std::tuple<std::decay_t<A>...>;  // the converted values, owned by the entry point
    static constexpr bool detaches = false;
};
template <class R, class G, class... A>
struct RunTraits<R (*)(G, const Interrupt&, A...)> {
    using Result = R;
    using Args = std::tuple<std::decay_t<A>...>;
    static constexpr bool detaches = true;
};

template <class M>
using TraitsOf = RunTraits<decltype(&M::run)>;

// Receiver check and borrow, then body(graph) under the failure mapping. A shared borrow hands the
// body a const graph, so read-only methods cannot write by mistake. A graph passed as an argument
// (to a module function) names that argument when it is not one.
// by_check: the shared borrow is no_exclusive_borrow() (see there).
template <BorrowKind Kind, class R, class Body>
R with_graph(PyObject* self, R failure, Body&& body, const char* argument = nullptr, bool by_check = false) {
    if (!PyObject_TypeCheck(self, graph_type())) {
        raise_not_instance(self, "IntGraphCore");
        if (argument != nullptr) apply_argument_error_rule(argument);
        return failure;
    }
    auto* obj = reinterpret_cast<GraphObject*>(self);
    if constexpr (Kind == BorrowKind::Shared) {
        if (by_check) {
            if (!no_exclusive_borrow(obj)) return failure;
            const Graph& g = obj->graph;
            return guarded(failure, [&] { return body(g); });
        }
    }
    BorrowGuard borrow(obj, Kind);
    if (!borrow) return failure;
    if constexpr (Kind == BorrowKind::Shared) {
        const Graph& g = obj->graph;
        return guarded(failure, [&] { return body(g); });
    } else {
        return guarded(failure, [&] { return body(obj->graph); });
    }
}

// Whether a call may take its shared borrow as no_exclusive_borrow(): only with the GIL, only for
// a point operation (it never detaches), and only when every argument is an exact int or left to
// its default, whose conversion runs no Python code (an __index__ could let other threads in).
template <class M>
bool borrows_by_check(PyObject* const* slots, std::size_t count) noexcept {
#ifdef Py_GIL_DISABLED
    (void)slots;
    (void)count;
    return false;
#else
    if constexpr (M::borrow != BorrowKind::Shared || TraitsOf<M>::detaches) {
        return false;
    } else {
        for (std::size_t i = 0; i < count; ++i)
            if (slots[i] != nullptr && !PyLong_CheckExact(slots[i])) return false;
        return true;
    }
#endif
}

// A description of a module function that takes the graph as its first argument, `g`, rather than
// as its receiver: everything else is as for a method, run() included (it gets the graph first).
struct GraphFunction {
    static constexpr bool graph_argument = true;
};

template <class M>
constexpr bool is_function() {
    return requires { M::graph_argument; };
}

// The prefix of the name a function reports its progress under: its module's ("arrays." unless the
// description gives `report_prefix`); none for a method.
template <class M>
constexpr const char* report_prefix() {
    if constexpr (requires { M::report_prefix; }) {
        return M::report_prefix;
    } else {
        return is_function<M>() ? "arrays." : "";
    }
}

// The parameters that convert to run()'s values: all of a method's; a function's after `g`.
template <class M>
constexpr std::size_t first_value() {
    return is_function<M>() ? 1 : 0;
}

// A description may give `required` (the leading parameters without a default) and `defaults` (the
// values of the others, in order); without them every parameter is required.
template <class M>
constexpr std::size_t required_of() {
    if constexpr (requires { M::required; }) {
        return M::required;
    } else {
        return M::params.size();
    }
}

// The doc string opens with the text signature the interpreter shows: "name($self, a, b=default)"
// for a method, "name(g, a, b=default)" for a function, then "\n--\n\n". Checked against the
// parameters at compile time, so the two cannot drift apart.
template <class M>
constexpr bool text_signature_matches() {
    std::string_view doc = M::doc;
    std::string_view head = M::name;
    if (!doc.starts_with(head)) return false;
    doc.remove_prefix(head.size());
    const std::string_view open = is_function<M>() ? "(" : "($self";
    if (!doc.starts_with(open)) return false;
    doc.remove_prefix(open.size());
    for (std::size_t i = 0; i < M::params.size(); ++i) {
        std::string_view param = M::params[i];
        if (i > 0 || !is_function<M>()) {
            if (!doc.starts_with(", ")) return false;
            doc.remove_prefix(2);
        }
        if (!doc.starts_with(param)) return false;
        doc.remove_prefix(param.size());
        const bool defaulted = i >= required_of<M>();
        if (defaulted != doc.starts_with("=")) return false;
        if (defaulted) {
            const std::size_t end = doc.find_first_of(",)");
            if (end == std::string_view::npos || end == 1) return false;
            doc.remove_prefix(end);
        }
    }
    return doc.starts_with(")\n--\n\n");
}

template <class M, std::size_t I, class T>
bool convert_parameter(PyObject* obj, T& out) {
    if (obj == nullptr) {
        // Only a defaulted parameter can be left unbound.
        if constexpr (I >= required_of<M>()) {
            out = std::get<I - required_of<M>()>(M::defaults);
            return true;
        } else {
            return false;
        }
    }
    return convert_argument(M::params[I], obj, out);
}

template <class M, class Args, std::size_t... I>
bool convert_parameters(PyObject** slots, Args& values, std::index_sequence<I...>) {
    constexpr std::size_t first = first_value<M>();
    return (convert_parameter<M, first + I>(slots[first + I], std::get<I>(values)) && ...);
}

template <class M, class G, class Args>
PyObject* run_and_convert(G& graph, Args& values) {
    using Traits = TraitsOf<M>;
    using R = typename Traits::Result;
    auto call = [&](auto&... a) -> R {
        if constexpr (Traits::detaches) {
            // A thread that watches its calls (progress.hpp) gets a record of this one, ended as
            // the call ends; the end is noted before re-attaching, so a watcher never waits on it.
            CallReport report(report_prefix<M>(), M::name);
            // Re-attaches once run() has returned (its result is already built) or thrown.
            Detached detached(report.progress());
            try {
                if constexpr (std::is_void_v<R>) {
                    M::run(graph, detached.interrupt(), std::move(a)...);
                    report.end(CallState::Done);
                } else {
                    R result = M::run(graph, detached.interrupt(), std::move(a)...);
                    report.end(CallState::Done);
                    return result;
                }
            } catch (const Interrupted&) {
                report.end(CallState::Interrupted);
                throw;
            }
        } else {
            return M::run(graph, std::move(a)...);
        }
    };
    if constexpr (std::is_void_v<R>) {
        std::apply(call, values);
        Py_RETURN_NONE;
    } else {
        return to_python(std::apply(call, values));
    }
}

// METH_FASTCALL | METH_KEYWORDS entry point, of a method (self is the graph) or of a module
// function (self is the module; the graph is the first argument).
template <class M>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Args = typename TraitsOf<M>::Args;
    constexpr std::size_t k = M::params.size();
    static constexpr Signature sig{M::name, M::params.data(), k, required_of<M>()};
    std::array<PyObject*, k> slots{};
    if (!bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, slots.data())) return nullptr;
    PyObject* const graph_object = is_function<M>() ? slots[0] : self;
    return with_graph<M::borrow>(
        graph_object, static_cast<PyObject*>(nullptr),
        [&](auto& graph) -> PyObject* {
            Args values{};
            if (!convert_parameters<M>(slots.data(), values, std::make_index_sequence<k - first_value<M>()>{}))
                return nullptr;
            return run_and_convert<M>(graph, values);
        },
        is_function<M>() ? M::params[0] : nullptr, borrows_by_check<M>(slots.data() + first_value<M>(), k - first_value<M>()));
}

// METH_NOARGS entry point: the interpreter itself rejects any argument.
template <class M>
PyObject* noarg_method(PyObject* self, PyObject*) {
    return with_graph<M::borrow>(self, static_cast<PyObject*>(nullptr), [&](auto& graph) -> PyObject* {
        std::tuple<> none;
        return run_and_convert<M>(graph, none);
    });
}

// The method-table row of a description: fast when it has parameters, no-arg otherwise.
template <class M>
constexpr PyMethodDef method_def() {
    static_assert(std::tuple_size_v<typename TraitsOf<M>::Args> == M::params.size() - first_value<M>(),
                  "run() must take one value per parameter");
    static_assert(text_signature_matches<M>(), "the doc string's text signature must list the parameters");
    if constexpr (M::params.size() == 0) {
        return {M::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noarg_method<M>)),
                METH_NOARGS, M::doc};
    } else {
        return {M::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_method<M>)),
                METH_FASTCALL | METH_KEYWORDS, M::doc};
    }
}

// The whole method table, in the order of the list, closed by the sentinel row.
template <class... M>
struct MethodList {
    static constexpr std::array<PyMethodDef, sizeof...(M) + 1> table() {
        return {method_def<M>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
    }
};

}  // namespace qm::py

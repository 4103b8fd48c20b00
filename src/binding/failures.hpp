// Failures as Python sees them: the one place where C++ failures become Python exceptions, and the
// messages the binding layer raises itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <new>
#include <stdexcept>

#include "../core/end_source.hpp"
#include "../core/fault.hpp"
#include "../core/interrupt.hpp"
#include "parallel/pool.hpp"

namespace qm::py {

// TypeError "'{type}' object is not an instance of '{target}'".
void raise_not_instance(PyObject* obj, const char* target);
// The argument-error rule: an exception of exactly TypeError becomes "argument '{name}': {text}",
// keeping its __cause__; anything else passes through.
void apply_argument_error_rule(const char* name);
// Sets PanicException(message). Creates the type on first use.
void raise_panic(const char* message);
// After an operation stopped on request: the exception that asked for the stop (a signal
// handler's KeyboardInterrupt, say) is already set; KeyboardInterrupt if, oddly, none is.
void raise_interrupted();

// Runs body, mapping any escaping C++ exception to the Python exception for it; returns `failure`
// in that case. Must be entered attached to the interpreter; body may detach inside, provided it
// re-attaches before anything escapes (see detach.hpp).
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    parallel::touch_exception_storage();
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const Interrupted&) {
        raise_interrupted();
    } catch (const CapacityError& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const InvalidArgument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const ValueOutOfRange& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const SourceChanged& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked for more than it can ever hold
    } catch (const Fault& e) {
        raise_panic(e.what());  // already reported on standard error where it was raised
    } catch (const parallel::PoolError& e) {
        raise_panic(e.what());  // likewise
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmesh: internal fault: %s\n", e.what());
        raise_panic(e.what());
    } catch (...) {
        std::fprintf(stderr, "quillmesh: internal fault: unknown exception\n");
        raise_panic("unknown internal fault");
    }
    return failure;
}

}  // namespace qm::py

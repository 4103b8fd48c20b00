// Failures as Python sees them: the one place where C++ failures become Python exceptions, and the
// messages the binding layer raises itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <system_error>

#include "core/load/end_source.hpp"
#include "core/base/fault.hpp"
#include "core/base/interrupt.hpp"
#include "core/io/graph_file.hpp"
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

// A Python exception raised by Python code that a native operation called (a file object's
// write(), say), carried out of the operation as a C++ exception and set again as it was.
class PythonRaised : public std::exception {
   public:
    // Takes the exception that is set now (attached).
    PythonRaised() noexcept : exc_(PyErr_GetRaisedException()) {}
    PythonRaised(PythonRaised&& o) noexcept : exc_(o.exc_) { o.exc_ = nullptr; }
    PythonRaised(const PythonRaised&) = delete;
    PythonRaised& operator=(const PythonRaised&) = delete;
    // Only ever destroyed attached: it is caught and restored by guarded(), which runs attached.
    ~PythonRaised() override { Py_XDECREF(exc_); }
    const char* what() const noexcept override { return "Python exception"; }
    // Sets the exception again, handing it back.
    void restore() noexcept {
        if (exc_ == nullptr) {
            PyErr_SetString(PyExc_SystemError, "a Python call failed without an exception");
            return;
        }
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
    }

   private:
    PyObject* exc_;
};

// The type of quillmesh.io.FormatError (a ValueError), built on first use; null with an exception
// set on failure.
PyObject* format_error_type();
// OSError for a failed system call, from its errno.
void raise_os_error(const std::system_error& e);

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
    } catch (PythonRaised& e) {
        e.restore();
    } catch (const io::FormatError& e) {
        if (PyObject* type = format_error_type()) PyErr_SetString(type, e.what());
    } catch (const std::system_error& e) {
        raise_os_error(e);
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

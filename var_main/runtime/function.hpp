// var_main/runtime/function.hpp: our function type.
//
// Each method of the class is one of these objects: it binds like a Python
// function (a bound method for an instance, itself for class access), is
// called through vectorcall without a bound-method allocation where the
// interpreter allows it (Py_TPFLAGS_METHOD_DESCRIPTOR), and carries the
// attributes that introspection reads (__code__, __defaults__,
// __annotations__, __doc__...), all generated from its MethodSpec.
#pragma once

#include "runtime/call.hpp"
#include "runtime/depth.hpp"
#include "runtime/errors.hpp"
#include "runtime/method.hpp"

namespace vm {

bool ready_function_type() noexcept;

// Makes the function object of one method; `globals` is the module's dict.
Ref make_function(const MethodSpec& spec, PyObject* globals) noexcept;

bool is_function(PyObject* obj) noexcept;

const MethodSpec& function_spec(PyObject* fn) noexcept;

// Calls one of our functions from our own code: `args` holds `n` arguments
// (self first for a method), the last ones named by `kwnames` if given.
// When the keywords name the trailing parameters in order, which is how the
// module's own call sites pass them, the arguments are laid out and the
// missing trailing ones defaulted directly, as the argument matcher would;
// otherwise it is a call like any other.  `args[-1]` must be writable.
// `ts`: the caller's thread state when it has it (see Depth), or nullptr.
PyObject* call_own(PyObject* fn, PyObject* const* args, Py_ssize_t n,
                   PyObject* kwnames, PyThreadState* ts = nullptr) noexcept;

// Runs a method's body on already matched and checked arguments, with the
// recursion guard and the traceback entry of a normal call.
PyObject* run_body(PyObject* fn, PyObject* const* values,
                   PyThreadState* ts = nullptr) noexcept;

// "var_main.TesselVarMain.<name>", the function of its traceback entries.
const char* function_tbname(PyObject* fn) noexcept;

// Runs `body(call)` as run_body runs fn's own body: for a caller that hands
// the body its arguments in another form than the call would (the same
// values, already checked).
template <class Body>
PyObject*
run_as(PyObject* fn, Body&& body, PyThreadState* ts = nullptr) noexcept
{
    Call call(function_spec(fn));
    PyObject* result;
    {
        Depth depth(ts);
        if (!depth.enter()) {
            return nullptr;
        }
        call.set_thread(depth.thread());
        result = body(call);
    }
    if (result == nullptr && call.line() != 0) {
        add_traceback(function_tbname(fn), call.line());
    }
    return result;
}

}  // namespace vm

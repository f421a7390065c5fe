// runtime/function.hpp: our function type.
//
// Each method of a class of ours is one of these objects: it binds like a
// Python function (a bound method for an instance, itself for class
// access), is called through vectorcall without a bound-method allocation
// where the interpreter allows it (Py_TPFLAGS_METHOD_DESCRIPTOR), and
// carries the attributes that introspection reads (__code__, __defaults__,
// __annotations__, __doc__...), all generated from its MethodSpec and Home.
#pragma once

#include "runtime/call.hpp"
#include "runtime/depth.hpp"
#include "runtime/errors.hpp"
#include "runtime/method.hpp"

namespace vm {

namespace function_detail {

// Everything but `dict` is set once when the function is made and never
// changes: the object is immutable like the type.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;  // at tp_vectorcall_offset
    const MethodSpec* spec;                   // the row of the method table
    const Home* home;                         // where it lives (outlives it)
    PyObject* names[kMaxParams];              // interned parameter names, for keywords
    PyObject* name;                           // __name__
    PyObject* qualname;                       // __qualname__, "<cls>.<name>"
    PyObject* module;                         // __module__
    PyObject* doc;                            // __doc__
    PyObject* code;                           // __code__: signature, file and line
    PyObject* defaults;                       // __defaults__: tuple or None
    PyObject* annotations;                    // __annotations__: dict of strings
    PyObject* globals;                        // __globals__: home's globals
    PyObject* dict;                           // __dict__, made on first use
    char tbname[96];                          // "<module>.<cls>.<name>", for tracebacks
};

// The type, once made ready here or adopted from the module that made it.
extern PyTypeObject* type;

inline Function*
as_function(PyObject* o) noexcept
{
    return reinterpret_cast<Function*>(o);
}

}  // namespace function_detail

// Makes the type ready, named "<home.module>.function"; once per process.
bool ready_function_type(const Home& home) noexcept;

// For code in another module that calls functions made elsewhere: takes
// their type from one of them.  False (no error) when `sample` is not one
// of ours, by the size and name of its type.
bool adopt_function_type(PyObject* sample) noexcept;

// Makes the function object of one method.
Ref make_function(const MethodSpec& spec, const Home& home) noexcept;

inline bool
is_function(PyObject* obj) noexcept
{
    return Py_IS_TYPE(obj, function_detail::type);
}

inline const MethodSpec&
function_spec(PyObject* fn) noexcept
{
    return *function_detail::as_function(fn)->spec;
}

// Calls one of our functions from our own code: `args` holds `n` arguments
// (self first for a method), the last ones named by `kwnames` if given.
// When the keywords name the trailing parameters in order, which is how the
// module's own call sites pass them, the arguments are laid out and the
// missing trailing ones defaulted directly, as the argument matcher would;
// otherwise it is a call like any other.  `args[-1]` must be writable.
// `ts`: the caller's thread state when it has it (see Depth), or nullptr.
PyObject* call_own(PyObject* fn, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
                   PyThreadState* ts = nullptr) noexcept;

// Runs a method's body on already matched and checked arguments, with the
// recursion guard and the traceback entry of a normal call.
PyObject* run_body(PyObject* fn, PyObject* const* values, PyThreadState* ts = nullptr) noexcept;

// Runs `body(call)` as run_body runs fn's own body: for a caller that hands
// the body its arguments in another form than the call would (the same
// values, already checked), or runs a shortcut of it.  The level is entered
// first; a failure recorded on `call` adds fn's traceback entry.
template <class Body>
PyObject*
run_as(PyObject* fn, Body&& body, PyThreadState* ts = nullptr) noexcept
{
    const function_detail::Function* f = function_detail::as_function(fn);
    Call call(*f->spec);
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
        add_traceback(*f->home, f->tbname, call.line());
    }
    return result;
}

}  // namespace vm

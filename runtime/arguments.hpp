// runtime/arguments.hpp: matching a call's arguments to a method's
// parameters, with the argument messages our callers rely on word for word.
#pragma once

#include "runtime/method.hpp"

namespace vm {

// Fills values[0 .. spec.nparams) with borrowed references: positional
// arguments, then keywords, then defaults.  Returns false with a TypeError
// set when the call does not fit the parameters.
// `names` holds the interned parameter names, in order.
bool match_arguments(const MethodSpec& spec, PyObject* const* names, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** values) noexcept;

// Applies the exact-type checks of the parameters, in order.  Returns false
// with the TypeError set on the first refusal.
bool check_argument_types(const MethodSpec& spec, const Home& home,
                          PyObject* const* values) noexcept;

}  // namespace vm

namespace vm {

// A signature as a Python `def` has it, for callables that must answer a
// bad call in the words the interpreter uses for functions written in
// Python ("takes from 2 to 3 positional arguments but 4 were given",
// "missing 1 required positional argument: 'name'", ...).  Parameters, in
// order: `nposonly` positional-only, then positional-or-keyword up to
// `npositional`, then keyword-only up to `nparams`; then **kwargs when
// `varkw`.  `self` is not among them but is counted in the messages when
// `method`.  `defaults[i]` is parameter i's default, nullptr when required.
struct Signature {
    const char* qualname;  // "TesselVar.get"
    const char* const* names;
    PyObject* const* defaults;
    int nposonly;
    int npositional;
    int nparams;
    bool varkw;
    bool method;
};

// Fills values[0 .. sig.nparams) with borrowed references (defaults filled
// in) and, when sig.varkw, *extra with a new dict of the other keywords (an
// empty Ref when there are none).  False with the TypeError set when the
// call does not fit.
bool match_signature(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values, Ref* extra) noexcept;

}  // namespace vm

// var_main/runtime/arguments.hpp: matching a call's arguments to a method's
// parameters, with the argument messages our callers rely on word for word.
#pragma once

#include "runtime/method.hpp"

namespace vm {

// Fills values[0 .. spec.nparams) with borrowed references: positional
// arguments, then keywords, then defaults.  Returns false with a TypeError
// set when the call does not fit the parameters.
// `names` holds the interned parameter names, in order.
bool match_arguments(const MethodSpec& spec, PyObject* const* names,
                     PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** values) noexcept;

// Applies the exact-type checks of the parameters, in order.  Returns false
// with the TypeError set on the first refusal.
bool check_argument_types(const MethodSpec& spec, PyObject* const* values) noexcept;

}  // namespace vm

// store/setup.hpp: setting a store up (_set_class) and the names of its
// internal settings (_skip), with the ways in that skip the call.
#pragma once

#include "runtime/call.hpp"

namespace vm {

// The bodies of the two methods.
PyObject* set_class(Call&, Any self, Any instance, Any reprint, Any inherit) noexcept;
PyObject* skip(Call&) noexcept;

// `self._set_class(factory, reprint, inherit)`: our body run in place while
// the call would reach it, the call otherwise.  0, or -1 with an error set.
int set_up(PyObject* self, PyObject* factory, PyObject* reprint,
           PyObject* inherit) noexcept;

// set_up() for a store just allocated, which holds nothing yet and which
// nothing else has seen.  `filled`: a dict of exactly the four settings as
// set_up() would write them, or nullptr; the store then gets a copy of it
// as its dict (under the hiding watch).
int set_up_new(PyObject* self, PyObject* factory, PyObject* reprint,
               PyObject* inherit, PyObject* filled) noexcept;

}  // namespace vm

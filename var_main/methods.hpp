// var_main/methods.hpp: the C++ bodies of the 23 methods, by source file,
// the calls of them that other methods make (each beside its method's
// body), and the method table that describes them to Python.  Every body is
// an entry point called straight from the interpreter, so it is noexcept:
// an escaped C++ exception ends the process instead of unwinding through C
// frames.
#pragma once

#include "runtime/call.hpp"
#include "store/resolve.hpp"
#include "store/setup.hpp"  // _set_class, _skip

#include <span>

namespace vm {

// attributes.cpp
PyObject* getattr_hook(Call&, Any self, Str name) noexcept;
PyObject* setattr_hook(Call&, Any self, Str name, Any value) noexcept;
PyObject* set_attr(Call&, Any self, Str name, Any value) noexcept;
// `self._set_attr(name, value)` for an exact str name; `known`: self's
// PlainDict when the caller has it.  False with the error set.
bool call_set_attr(PyObject* self, PyObject* name, PyObject* value, PyThreadState* ts,
                   PlainDict&& known = PlainDict()) noexcept;
// `setattr(self, name, value)`: 0, or -1 with the error set.  `known`: as
// for call_set_attr.
int set_attribute(PyObject* self, PyObject* name, PyObject* value, PyThreadState* ts = nullptr,
                  PlainDict&& known = PlainDict()) noexcept;

// intake.cpp
PyObject* set_dict(Call&, Any self, Str key, Dict value, Any new_) noexcept;
PyObject* set_list(Call&, Any self, Any value, StrOrNone key) noexcept;
PyObject* mv_add(Call&, Any self, Dict kwargs) noexcept;
PyObject* mv_set(Call&, Any self, Str name, Any value, Any inherit) noexcept;
PyObject* mv_set_kwargs(Call&, Any self, Dict kwargs) noexcept;
// `self._mv_set(key, value)`: false with the error set.  `known`: as for
// call_set_attr.
bool call_mv_set(PyObject* self, PyObject* key, PyObject* value, PyThreadState* ts,
                 PlainDict&& known = PlainDict()) noexcept;

// query.cpp
PyObject* mv_get(Call&, Any self, Any key, Any fallback) noexcept;
PyObject* mv_pop(Call&, Any self, Str name) noexcept;
PyObject* mv_pops(Call&, Any self, Tuple args) noexcept;
PyObject* mv_clear(Call&, Any self) noexcept;
PyObject* mv_keys(Call&, Any self) noexcept;
PyObject* mv_values(Call&, Any self) noexcept;
PyObject* mv_items(Call&, Any self) noexcept;

// export.cpp
PyObject* mv_to_dict(Call&, Any self, Any sort) noexcept;
PyObject* to_dict(Call&, Any self, Dict kwargs, Any sort) noexcept;
PyObject* list_to_dict(Call&, Any self, Any array) noexcept;
PyObject* mv_to_params(Call&, Any self) noexcept;
PyObject* mv_to_string(Call&, Any self) noexcept;
PyObject* repr_hook(Call&, Any self) noexcept;

// The table, in the order of definition.
std::span<const MethodSpec> method_table() noexcept;

}  // namespace vm

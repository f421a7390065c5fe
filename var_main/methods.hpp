// var_main/methods.hpp: the C++ bodies of the 23 methods, by source file, and
// the method table that describes them to Python.
#pragma once

#include "runtime/call.hpp"

#include <span>

namespace vm {

// setup.cpp
PyObject* set_class(Call&, Any self, Any instance, Any reprint, Any inherit);
PyObject* skip(Call&);

// attributes.cpp
PyObject* getattr_hook(Call&, Any self, Str name);
PyObject* setattr_hook(Call&, Any self, Str name, Any value);
PyObject* set_attr(Call&, Any self, Str name, Any value);

// intake.cpp
PyObject* set_dict(Call&, Any self, Str key, Dict value, Any new_);
PyObject* set_list(Call&, Any self, Any value, StrOrNone key);
PyObject* mv_add(Call&, Any self, Dict kwargs);
PyObject* mv_set(Call&, Any self, Str name, Any value, Any inherit);
PyObject* mv_set_kwargs(Call&, Any self, Dict kwargs);

// query.cpp
PyObject* mv_get(Call&, Any self, Any key, Any fallback);
PyObject* mv_pop(Call&, Any self, Str name);
PyObject* mv_pops(Call&, Any self, Tuple args);
PyObject* mv_clear(Call&, Any self);
PyObject* mv_keys(Call&, Any self);
PyObject* mv_values(Call&, Any self);
PyObject* mv_items(Call&, Any self);

// export.cpp
PyObject* mv_to_dict(Call&, Any self, Any sort);
PyObject* to_dict(Call&, Any self, Dict kwargs, Any sort);
PyObject* list_to_dict(Call&, Any self, Any array);
PyObject* mv_to_params(Call&, Any self);
PyObject* mv_to_string(Call&, Any self);
PyObject* repr_hook(Call&, Any self);

// The table, in the order of definition.
std::span<const MethodSpec> method_table() noexcept;

}  // namespace vm

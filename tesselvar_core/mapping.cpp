// tesselvar_core/mapping.cpp: a store as a mapping of its variables.
//
//   store[name]         the variable (KeyError when there is none: an
//                       internal setting is none, and there is no reprint
//                       fallback)
//   store[name] = v     as `store.name = v` (dicts become nested stores...)
//   del store[name]     removes the variable (KeyError when there is none)
//   name in store       `name in store.keys()`
//   iter(store)         the names, in order, as iter(store.keys())
//   len(store)          how many variables
// Every store is true, empty or not: the merges treat a stored empty nested
// store as present, as they always have.  These are dunders only: the class
// takes no attribute name beyond add, get and keys.
#include "core.hpp"
#include "store/public_class.hpp"
#include "store/rules.hpp"

namespace tv {

namespace {

// KeyError(name), as a dict raises it (a tuple name stays one argument).
void
raise_key_error(PyObject* name) noexcept
{
    Ref args = Ref::steal(PyTuple_Pack(1, name));
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args.get());
    }
}

}  // namespace

PyObject*
store_getitem(PyObject* self, PyObject* name) noexcept
{
    Ref found;
    const int r = vm::find_variable(self, name, found);
    if (r == 0) {
        raise_key_error(name);
    }
    return found.release();
}

int
store_setitem(PyObject* self, PyObject* name, PyObject* value) noexcept
{
    if (value != nullptr) {
        return PyObject_SetAttr(self, name, value);
    }
    const int present = vm::has_variable(self, name);
    if (present <= 0) {
        if (present == 0) {
            raise_key_error(name);
        }
        return -1;
    }
    Ref d = vm::instance_dict(self);
    return d ? PyObject_DelItem(d.get(), name) : -1;
}

int
store_contains(PyObject* self, PyObject* name) noexcept
{
    return vm::has_variable(self, name);
}

Py_ssize_t
store_len(PyObject* self) noexcept
{
    return vm::count_variables(self);
}

PyObject*
store_iter(PyObject* self) noexcept
{
    return new_keys_iter(self).release();
}

int
store_truth(PyObject*) noexcept
{
    return 1;
}

}  // namespace tv

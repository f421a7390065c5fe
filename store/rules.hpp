// store/rules.hpp: what every method needs to know about a store.
//
// A store keeps everything in its instance dictionary, reached as
// `self.__dict__` afresh at each use (resolve.hpp: instance_dict,
// PlainDict).  Its variables are the entries whose keys self._skip() does not
// name (SkipRule); the four settings are kept under six-character keys.  A
// nested store is a value whose type is named "TesselVar"; a list, set or
// tuple is a sequence.
#pragma once

#include "store/resolve.hpp"

namespace vm {

// --- Reading and writing a dictionary -----------------------------------------

// `d.get(key)`: None when absent.  Exact dicts are probed directly; any
// other mapping is asked through its own `get`.
Ref dict_get(PyObject* d, PyObject* key) noexcept;

// `d[key]`.
Ref dict_item(PyObject* d, PyObject* key) noexcept;

// `d[key] = value`.
int dict_store(PyObject* d, PyObject* key, PyObject* value) noexcept;

// The store's dictionary must be a dict for the walks; says so if not.
bool require_dict(PyObject* d) noexcept;

// Are all keys of the dict exact str?  Then looking a str up by hash is the
// same as comparing it with every key, and no key's __eq__ can run.
inline bool
only_str_keys(PyObject* d) noexcept
{
    return cpy::dict_has_only_str_keys(d);
}

// --- Errors -----------------------------------------------------------------

// AttributeError "'%.100s' object has no attribute '%U'", with `name` and
// `obj` set as the interpreter's own error has them (for its suggestions).
void raise_no_attribute(PyObject* obj, PyObject* name) noexcept;

// --- Classification ---------------------------------------------------------

// `type(v).__name__ == "TesselVar"`: 1, 0, or -1 with an error set.
int is_nested_store(PyObject* v) noexcept;

// Does is_nested_store() on an instance of `tp` run no Python code (the
// type's own metaclass is type, and its name is an exact str)?
bool nested_store_test_runs_no_code(PyTypeObject* tp) noexcept;

// A list, set or tuple, subclasses included (frozenset is not a set here).
inline bool
is_sequence(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS) ||
        tp == &PySet_Type) {
        return true;
    }
    // PySet_Check walks the MRO for anything else.  An int, str, bytes or
    // dict (or a subclass: their layouts cannot be combined with a set's),
    // a float or None is no set.
    constexpr unsigned long kNoSet = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
                                     Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    if ((tp->tp_flags & kNoSet) != 0 || tp == &PyFloat_Type || v == Py_None) {
        return false;
    }
    return PyType_IsSubtype(tp, &PySet_Type) != 0;
}

// A truth test that says -1 on error, like PyObject_IsTrue.
inline int
truth(PyObject* v) noexcept
{
    return PyObject_IsTrue(v);
}

// Does truth(v) run no Python code?  True for None, bools, exact dicts, the
// public class's stores (always true) and types without a length or
// __bool__ slot; false when unsure.
inline bool
truth_runs_no_code(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    if (v == Py_None || PyBool_Check(v) || tp == &PyDict_Type) {
        return true;
    }
    if (tp->tp_as_number != nullptr && tp->tp_as_number->nb_bool != nullptr) {
        // The public class's own: every store is true.
        return tp->tp_as_number->nb_bool == state().public_class.truth;
    }
    return (tp->tp_as_number == nullptr || tp->tp_as_number->nb_bool == nullptr) &&
           (tp->tp_as_mapping == nullptr || tp->tp_as_mapping->mp_length == nullptr) &&
           (tp->tp_as_sequence == nullptr || tp->tp_as_sequence->sq_length == nullptr);
}

}  // namespace vm

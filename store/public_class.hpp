// store/public_class.hpp: what the public class's own add, keys() and get()
// do, written once.
//
// The class TesselVar lives in tesselvar._core, which registers it here when
// it is imported.  Its methods run these functions, and so do var_main's
// shortcuts for calls of them on nested stores (a merge's `nested.add(...)`,
// a path's `step in x.keys()` and `x.get(step)`), while the class's own
// descriptors are in force (resolve.hpp: runs_own_add, runs_own_keys_and_get).
#pragma once

#include "store/resolve.hpp"

namespace vm {

// Makes the class known: its type, the descriptors behind its own add, keys
// and get (held for the life of the process), and its truth slot, which
// runs no code.
void register_public_class(PyTypeObject* type, PyObject* add, PyObject* keys, PyObject* get,
                           inquiry truth, PyObject* (*make_store)(PyObject*) noexcept,
                           bool (*makes_plainly)(PyObject*) noexcept) noexcept;

// add(**kwargs): `self._mv_add(kwargs)`, where kwargs is a dict of its own.
Ref add_variables(PyObject* self, PyObject* kwargs, PyThreadState* ts = nullptr) noexcept;

// `key in store.keys()`: an entry of `store.__dict__` that the exclusion
// rule keeps.  1, 0, or -1 with an error set.
int has_variable(PyObject* store, PyObject* key) noexcept;

// `store.__dict__[name] if name in store.keys()`: 1 with `out` set, 0 when
// it is not a variable, -1 with an error set.
int find_variable(PyObject* store, PyObject* name, Ref& out) noexcept;

// get(name, default): the variable, or `default`.
Ref get_variable(PyObject* store, PyObject* name, PyObject* fallback) noexcept;

// len(store.keys()): how many variables the store holds; -1 with an error.
Py_ssize_t count_variables(PyObject* store) noexcept;

// One step of a path: `step in current.keys()`, then `current =
// current.get(step)`, when `current`'s keys() and get() are the class's own.
// Error: failed in `in`; GetFailed: failed in get().
enum class Step : std::int8_t { GetFailed = -2, Error = -1, Absent = 0, Found = 1, NotMine = 2 };
Step try_step(Ref& current, PyObject* step) noexcept;

}  // namespace vm

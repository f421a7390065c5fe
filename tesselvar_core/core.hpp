// tesselvar_core/core.hpp: what the parts of tesselvar._core share.
//
// The module serves one interpreter per process, like var_main itself, so
// its types live in one global record filled at start-up and kept for the
// life of the process.  The rules of a store (resolution, set-up, the
// exclusion rule, what the class's own methods do) are var_main's, from the
// store folder, running on the State var_main made.
#pragma once

#include "runtime/ref.hpp"

namespace tv {

using vm::Ref;

struct Shared {
    // Our types.
    PyTypeObject* store;      // tesselvar.TesselVar
    PyTypeObject* factory;    // tesselvar._Factory
    PyTypeObject* keys_view;  // what TesselVar.keys() returns
    PyTypeObject* keys_iter;  // its iterator
    PyTypeObject* method;     // the descriptors behind add, keys, get
    // The descriptors stored in TesselVar's dict.
    PyObject* add;
    PyObject* keys;
    PyObject* get;
    // The four factories for the bool settings, shared by every store, at
    // 2 * reprint + inherit.
    PyObject* shared_factories[4];
    // The four settings of a store made by each of them, in set-up order.
    PyObject* shared_settings[4];
};
extern Shared g;

// Where the default settings' shared factory is: reprint on, inherit off.
constexpr int kDefaults = 2;

// tp_dealloc of our collected heap types: untrack, clear (nullptr: nothing
// to clear), free, and let go of the type.
inline void
dealloc_collected(PyObject* self, inquiry clear) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (clear != nullptr) {
        clear(self);
    }
    tp->tp_free(self);
    Py_DECREF(tp);
}

// --- The store class ------------------------------------------------------

// Makes calling TesselVar itself skip type.__call__'s argument packing.
void install_vectorcall(PyTypeObject* tp) noexcept;

// A factory for these settings: one of the shared ones for bools.
Ref factory_for(PyObject* reprint, PyObject* inherit) noexcept;

// A new store from `factory` when it is one of ours, the class's
// construction is its own, and its inherit setting is a bool: no code runs.
// nullptr otherwise (no error), or with an error when making it failed.
PyObject* make_plainly(PyObject* factory) noexcept;
bool makes_plainly(PyObject* factory) noexcept;

// Is `factory` one of ours that gives the stores it makes these settings?
bool factory_makes(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept;

// The settings dict of a store set up with one of the shared factories
// (borrowed), or NULL for any other factory.
PyObject* shared_settings(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept;

// TesselVar.__init__(self, data=None, /, *, reprint=True, inherit=False,
// **variables).
int store_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// A new TesselVar set up with `factory`, made without calling the class
// while its construction is its own (construction_is_own()).
Ref new_store(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept;

// Are TesselVar's __new__ and __init__ still its own, so that a store may
// be made without calling the class?
bool construction_is_own() noexcept;

// Checks a document before it is loaded: every key of its mappings a str,
// and none a setting's name.  False with TypeError or ValueError naming the
// key and its path.
bool check_document(PyObject* data) noexcept;

// Type creation, called once from the module's exec step.
bool make_factory_type(PyObject* module) noexcept;
bool make_keys_types(PyObject* module) noexcept;
bool make_store_type(PyObject* module) noexcept;
bool make_methods(PyObject* module) noexcept;  // after the store type

// The keys view of a store, and an iterator over its names.
Ref new_keys_view(PyObject* store) noexcept;
Ref new_keys_iter(PyObject* store) noexcept;

// The mapping protocol of the store class (mapping.cpp), and its pickle and
// copy methods (pickle.cpp).
PyObject* store_getitem(PyObject* self, PyObject* name) noexcept;
int store_setitem(PyObject* self, PyObject* name, PyObject* value) noexcept;
int store_contains(PyObject* self, PyObject* name) noexcept;
Py_ssize_t store_len(PyObject* self) noexcept;
PyObject* store_iter(PyObject* self) noexcept;
int store_truth(PyObject* self) noexcept;
extern PyMethodDef kPickleMethods[];
// Registers the class's reduction with copyreg, for pickle and copy.
bool register_pickling() noexcept;

}  // namespace tv

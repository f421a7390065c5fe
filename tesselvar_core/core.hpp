// tesselvar_core/core.hpp: what the parts of tesselvar._core share.
//
// The module serves one interpreter per process, like var_main itself, so
// its types and the objects it borrows from var_main live in one global
// record filled at start-up and kept for the life of the process.
#pragma once

#include "link.hpp"
#include "runtime/ref.hpp"

namespace tv {

using vm::Ref;

struct Shared {
    // Our types.
    PyTypeObject* store;        // tesselvar.TesselVar
    PyTypeObject* factory;      // tesselvar._Factory
    PyTypeObject* keys_view;    // what TesselVar.keys() returns
    PyTypeObject* keys_iter;    // its iterator
    PyTypeObject* method;       // the descriptors behind add, keys, get
    // The descriptors stored in TesselVar's dict.
    PyObject* add;
    PyObject* keys;
    PyObject* get;
    // From var_main and the interpreter, compared by identity.
    PyTypeObject* base;            // var_main.TesselVarMain
    PyObject* set_class;           // TesselVarMain.__dict__["_set_class"]
    PyObject* skip;                // TesselVarMain.__dict__["_skip"]
    PyObject* skip_fn;             // the function inside it (owned)
    PyObject* dict_descr;          // TesselVarMain.__dict__["__dict__"]
    PyObject* object_getattribute; // object.__dict__["__getattribute__"]
    const vm::VarMainLink* link;   // what var_main hands us (link.hpp)
    // Interned names.
    PyObject* s_set_class;
    PyObject* s_skip;
    PyObject* s_mv_add;
    PyObject* s_dunder_dict;
    PyObject* s_getattribute;
    PyObject* settings[4];  // _i_c_u, _g_n_r, _g_n_i, _g_n_s
    // The four factories for the bool settings, shared by every store.
    PyObject* shared_factories[4];
    // The four settings of a store made by each of them, in set-up order.
    PyObject* shared_settings[4];
};
extern Shared g;

// --- Resolution ---------------------------------------------------------
// A shortcut stands for `self.<name>(...)` only while that lookup would find
// the very function we expect.  These answers hold until Python code runs:
// ask again after anything that may run it.

// Does `self.__dict__` read the instance's own dict through the ordinary
// attribute machinery (no __getattribute__ or __dict__ of a subclass)?
bool plain_access(PyTypeObject* tp) noexcept;

// Does `self.<name>` resolve to `expected`, found in the class and not
// hidden by an entry of the instance dict?  1, 0, or -1 with an error set.
int resolves_to(PyObject* self, PyObject* name, PyObject* expected) noexcept;

// `self.__dict__`, fetched like Python does.
Ref instance_dict(PyObject* self) noexcept;

// The exclusion rule, `key in self._skip()`, for one operation.  While
// `self._skip` is var_main's own static method, an exact str is compared with
// the four setting names directly (no list, no code run); anything else
// calls `self._skip()` for the key, after which the resolution is redone.
class SkipRule {
public:
    explicit SkipRule(PyObject* self) noexcept : self_(self) {}
    // 1: excluded; 0: a variable; -1: error set.
    int test(PyObject* key) noexcept;
    void invalidate() noexcept { state_ = State::Unknown; }

private:
    enum class State { Unknown, Own, Other };
    PyObject* self_;
    State state_ = State::Unknown;
};

bool is_setting_name(PyObject* exact_str) noexcept;

// --- The store class ------------------------------------------------------

// `self._set_class(factory, reprint, inherit)`, done in place while that
// is var_main's own method.  0 or -1.
int set_up(PyObject* self, PyObject* factory, PyObject* reprint,
           PyObject* inherit) noexcept;

// set_up() for a store just allocated, which holds nothing yet.
int set_up_fresh(PyObject* self, PyObject* factory, PyObject* reprint,
                 PyObject* inherit) noexcept;

// The settings dict of a store set up with one of the shared factories
// (borrowed), or NULL for any other factory.
PyObject* shared_settings(PyObject* factory, PyObject* reprint,
                          PyObject* inherit) noexcept;

// Makes calling TesselVar itself skip type.__call__'s argument packing.
void install_vectorcall(PyTypeObject* tp) noexcept;

// A factory for these settings: one of the shared ones for bools.
Ref factory_for(PyObject* reprint, PyObject* inherit) noexcept;

// TesselVar.__init__(self, reprint=True, inherit=False).
int store_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// A new bare TesselVar, made like TesselVarMain.__new__(TesselVar).
Ref new_bare_store() noexcept;

// Are TesselVar's __new__ and __init__ still its own, so that a store may
// be made without calling the class?
bool construction_is_own() noexcept;

// Type creation, called once from the module's exec step.
bool make_factory_type(PyObject* module) noexcept;
bool make_keys_types(PyObject* module) noexcept;
bool make_store_type(PyObject* module) noexcept;
bool make_methods(PyObject* module) noexcept;  // after the store type

// The keys view of a store.
Ref new_keys_view(PyObject* store) noexcept;
// `key in store.keys()` and `store.get(name, default)`.
int keys_contain(PyObject* store, PyObject* key) noexcept;

}  // namespace tv

// var_main/state.hpp: everything the module keeps for the life of the
// process, in one place.
//
// The module serves one interpreter per process (start-up refuses others),
// so its state is one object with static storage rather than per-module
// state: the function type is static too, and the fast paths read this state
// on every call without looking a module up.  What is per thread lives
// beside the code that needs it (the C stack bounds in runtime/depth.cpp, the
// reprint re-entry guard in attributes.cpp).
#pragma once

#include "runtime/ref.hpp"

#include <cstdint>
#include <vector>

struct TesselVarCoreAPI;  // tesselvar_core/api.h

namespace vm {

// Interned strings, made once at start-up.
struct Names {
    PyObject* i_c_u;  // the store factory
    PyObject* g_n_r;  // the reprint setting
    PyObject* g_n_i;  // the inherit setting
    PyObject* g_n_s;  // the flag reset by _set_class
    PyObject* skip;
    PyObject* set_dict;
    PyObject* set_list;
    PyObject* set_attr;
    PyObject* mv_set;
    PyObject* mv_add;
    PyObject* mv_keys;
    PyObject* mv_pop;
    PyObject* to_dict;
    PyObject* list_to_dict;
    PyObject* add;
    PyObject* keys;
    PyObject* get;
    PyObject* update;
    PyObject* append;
    PyObject* startswith;
    PyObject* split;
    PyObject* dunder_dict;
    PyObject* dunder_name;
    PyObject* tesselvar;  // "TesselVar", the name of a nested store's class
    PyObject* partner_module;   // "tesselvar._core"
    PyObject* partner_capsule;  // "_C_API"
    PyObject* dunder_getattribute;
    PyObject* dunder_delattr;
    PyObject* dunder_setattr;
    PyObject* dollar_dot;  // "$."
    PyObject* dot;         // "."
    PyObject* new_;        // "new"
    PyObject* kw_new;      // ("new",)
};


// What we know of a type's attribute lookup, valid while its version tag is
// unchanged (any change to the type or a base gives it a new tag).
struct TypeInfo {
    static constexpr int kSlots = 32;  // an open-addressed table, half full at most
    PyTypeObject* tp = nullptr;
    unsigned int tag = 0;
    bool lookup_plain = false;
    bool dict_plain = false;
    bool delattr_plain = false;
    // What the type has under our own (interned) names; borrowed from the
    // type's dicts, which cannot change without a new tag.  Keyed by the
    // name's address; an empty slot has no name.
    int used = 0;
    PyObject* names[kSlots];
    PyObject* found[kSlots];
};

// What the class looked like when start-up made it.
struct ClassRecord {
    PyTypeObject* type = nullptr;                // TesselVarMain (owned)
    getattrofunc hook = nullptr;                 // TesselVarMain's tp_getattro
    setattrofunc setattr_slot = nullptr;         // ...and its tp_setattro
    PyObject* object_getattribute = nullptr;     // object.__getattribute__
    PyObject* object_delattr = nullptr;          // object.__delattr__
    PyObject* dict_descr = nullptr;              // TesselVarMain.__dict__ (owned)
    PyObject* skip_static = nullptr;             // the staticmethod (owned)
    PyObject* skip_fn = nullptr;                 // the function inside (owned)
};

// A traceback entry's code object, made once per function name and line.
struct CachedCode {
    const char* funcname;
    int line;
    PyCodeObject* code;  // owned, kept for the life of the process
};

struct State {
    // Our function type (runtime/function.cpp); static, so PyType_Ready
    // makes it immutable.
    PyTypeObject function_type{PyVarObject_HEAD_INIT(nullptr, 0)};
    std::int64_t interpreter_id = -1;  // the interpreter the module serves
    PyInterpreterState* interp = nullptr;  // ...and its state
    PyObject* module = nullptr;        // owned once the exec step succeeded
    PyObject* globals = nullptr;       // the module's dict (traceback frames)
    Names names{};
    ClassRecord cls{};
    TypeInfo types[8]{};               // per-type records, by address
    // The dict watcher that keeps store dicts free of our method names
    // (dispatch.cpp), -1 when none could be had; the one that marks the
    // dicts it dropped; and those names.
    int watcher = -1;
    int dropped = -1;
    PyObject* method_names = nullptr;  // frozenset, owned
    PyObject* watched_names[16]{};     // the names it answers for (interned)
    std::vector<CachedCode> codes;
    // The public class's module, once seen (partner.cpp).
    const ::TesselVarCoreAPI* partner = nullptr;
};

extern State state;
extern Names& names;  // state.names, by its short name

}  // namespace vm

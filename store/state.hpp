// store/state.hpp: what the store rules keep for the life of the process.
//
// var_main serves one interpreter per process, so the rules keep their
// state in one object rather than per module: var_main owns it and fills it
// at start-up, and tesselvar._core, which runs the same rules, adopts it
// (publish/adopt below).  Both extensions are built from this folder; each
// reaches the one State through its own copy of state().  What is per
// thread lives beside the code that needs it.
#pragma once

#include "runtime/ref.hpp"

#include <cstdint>

namespace vm {

// Interned strings, made once at start-up.
struct Names {
    PyObject* i_c_u;  // the store factory
    PyObject* g_n_r;  // the reprint setting
    PyObject* g_n_i;  // the inherit setting
    PyObject* g_n_s;  // the flag reset by _set_class
    PyObject* skip;
    PyObject* set_class;
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
    PyObject* dunder_getattribute;
    PyObject* dunder_delattr;
    PyObject* dunder_setattr;
    PyObject* dollar_dot;   // "$."
    PyObject* dot;          // "."
    PyObject* new_;         // "new"
    PyObject* kw_new;       // ("new",)
    PyObject* settings[4];  // _i_c_u, _g_n_r, _g_n_i, _g_n_s, in set-up order
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
    std::int8_t removal_plain = -1;  // -1 until asked (see resolve.hpp)
    std::int8_t keys_get_own = -1;   // likewise
    std::int8_t add_own = -1;        // likewise
    std::int8_t fill_own = -1;       // likewise (var_main/intake.cpp)
    // What the type has under our own (interned) names; borrowed from the
    // type's dicts, which cannot change without a new tag.  Keyed by the
    // name's address; an empty slot has no name.
    int used = 0;
    PyObject* names[kSlots];
    PyObject* found[kSlots];
};

// What TesselVarMain looked like when start-up made it.
struct ClassRecord {
    PyTypeObject* type = nullptr;             // TesselVarMain (owned)
    getattrofunc hook = nullptr;              // its tp_getattro
    setattrofunc setattr_slot = nullptr;      // ...and its tp_setattro
    PyObject* object_getattribute = nullptr;  // object.__getattribute__
    PyObject* object_delattr = nullptr;       // object.__delattr__
    PyObject* dict_descr = nullptr;           // TesselVarMain.__dict__ (owned)
    PyObject* skip_static = nullptr;          // the staticmethod (owned)
    PyObject* skip_fn = nullptr;              // the function inside (owned)
};

// The hiding watch (resolve.cpp): the dict watcher that keeps store dicts
// free of our method names, -1 when none could be had; the one that marks
// the dicts it dropped; and the names.
struct Watch {
    int watcher = -1;
    int dropped = -1;
    PyObject* method_names = nullptr;  // frozenset, owned
};

// The public class, once tesselvar._core has registered it: the class, its
// truth slot, and the descriptor objects that hold its own add, keys and get
// (owned for the life of the process, so their addresses are never reused).
struct PublicClass {
    PyTypeObject* type = nullptr;
    inquiry truth = nullptr;  // its nb_bool
    // A new store from `factory`, made without running any code, when the
    // factory is the class's own and the class's construction is its own,
    // and the stores it makes have a bool inherit setting; nullptr (and no
    // error) otherwise, or with an error when making it failed.
    PyObject* (*make_store)(PyObject* factory) noexcept = nullptr;
    // Would make_store make one (no code run to ask)?
    bool (*makes_plainly)(PyObject* factory) noexcept = nullptr;
    PyObject* add = nullptr;
    PyObject* keys = nullptr;
    PyObject* get = nullptr;
};

struct State {
    std::uint32_t size = sizeof(State);    // checked when adopted
    PyInterpreterState* interp = nullptr;  // the interpreter served
    Names names{};
    ClassRecord cls{};
    TypeInfo types[8]{};  // per-type records, by address
    Watch watch{};
    PublicClass public_class{};
};

namespace state_detail {
extern State* current;
}

inline State&
state() noexcept
{
    return *state_detail::current;
}

inline Names&
names() noexcept
{
    return state_detail::current->names;
}

// Interns the names (once).  False with an error set.
bool init_names() noexcept;

// var_main: leaves the one State where tesselvar._core looks for it, in the
// interpreter's own dict (out of Python code's reach, and out of var_main's
// module globals).  tesselvar._core: takes it from there.  False with an
// ImportError set when it is not there.
bool publish_state() noexcept;
bool adopt_state() noexcept;

}  // namespace vm

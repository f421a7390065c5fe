// store/state.cpp: the one State, its names, and how the second extension
// finds it.
#include "store/state.hpp"

#include "runtime/internals.hpp"

namespace vm {

namespace {

// Owned by the extension that publishes it; the other one's copy of this
// object stays unused.
State own;
constexpr const char* kKey = "var_main.store_rules";

}  // namespace

namespace state_detail {
State* current = &own;
}

bool
init_names() noexcept
{
    Names& n = names();
    struct Item {
        PyObject** slot;
        const char* text;
    };
    const Item entries[] = {
        {&n.i_c_u, "_i_c_u"},
        {&n.g_n_r, "_g_n_r"},
        {&n.g_n_i, "_g_n_i"},
        {&n.g_n_s, "_g_n_s"},
        {&n.skip, "_skip"},
        {&n.set_class, "_set_class"},
        {&n.set_dict, "_set_dict"},
        {&n.set_list, "_set_list"},
        {&n.set_attr, "_set_attr"},
        {&n.mv_set, "_mv_set"},
        {&n.mv_add, "_mv_add"},
        {&n.mv_keys, "_mv_keys"},
        {&n.mv_pop, "_mv_pop"},
        {&n.to_dict, "_to_dict"},
        {&n.list_to_dict, "_list_to_dict"},
        {&n.add, "add"},
        {&n.keys, "keys"},
        {&n.get, "get"},
        {&n.update, "update"},
        {&n.append, "append"},
        {&n.startswith, "startswith"},
        {&n.split, "split"},
        {&n.dunder_dict, "__dict__"},
        {&n.dunder_name, "__name__"},
        {&n.tesselvar, "TesselVar"},
        {&n.dunder_getattribute, "__getattribute__"},
        {&n.dunder_delattr, "__delattr__"},
        {&n.dunder_setattr, "__setattr__"},
        {&n.dollar_dot, "$."},
        {&n.dot, "."},
        {&n.new_, "new"},
    };
    for (const Item& e : entries) {
        if (*e.slot == nullptr) {
            *e.slot = PyUnicode_InternFromString(e.text);
            if (*e.slot == nullptr) {
                return false;
            }
        }
    }
    if (n.kw_new == nullptr) {
        n.kw_new = PyTuple_Pack(1, n.new_);
        if (n.kw_new == nullptr) {
            return false;
        }
    }
    PyObject* const settings[] = {n.i_c_u, n.g_n_r, n.g_n_i, n.g_n_s};
    for (int i = 0; i < 4; ++i) {
        n.settings[i] = settings[i];
    }
    return true;
}

bool
publish_state() noexcept
{
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter dict for the store rules");
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&own, kKey, nullptr));
    return capsule && PyDict_SetItemString(shared, kKey, capsule.get()) == 0;
}

bool
adopt_state() noexcept
{
    PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = nullptr;
    if (shared != nullptr && PyDict_GetItemStringRef(shared, kKey, &capsule) < 0) {
        return false;
    }
    Ref held = Ref::steal(capsule);
    auto* found =
        capsule == nullptr ? nullptr : static_cast<State*>(PyCapsule_GetPointer(capsule, kKey));
    if (found == nullptr || found->size != sizeof(State)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "var_main has not left its store rules for this module");
        return false;
    }
    state_detail::current = found;
    // This copy of the internals door answers for itself: the watch bits
    // are checked here too, with var_main's watcher.
    const int watcher = found->watch.watcher;
    return watcher < 0 || cpy::check_watch_bits(watcher);
}

}  // namespace vm

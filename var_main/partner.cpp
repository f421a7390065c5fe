// var_main/partner.cpp: the capsule of tesselvar._core (see partner.hpp).
#include "partner.hpp"

#include "api.h"
#include "dispatch.hpp"
#include "runtime/internals.hpp"
#include "state.hpp"

namespace vm {

namespace {

// The API once the partner module has been imported; nullptr before.  Its
// descriptors are held for the life of the process, so that their addresses
// can never be taken by other objects, even if the class drops them.
const TesselVarCoreAPI*
api() noexcept
{
    if (state.partner != nullptr) {
        return state.partner;
    }
    // Only a module that is already there, read from its dict: no import,
    // no module __getattr__, no code.
    Ref module = Ref::steal(PyImport_GetModule(names.partner_module));
    if (!module || !PyModule_Check(module.get())) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* capsule = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module.get()), names.partner_capsule,
                          &capsule) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref held = Ref::steal(capsule);
    auto* found = static_cast<const TesselVarCoreAPI*>(
        PyCapsule_GetPointer(capsule, TESSELVAR_CORE_CAPSULE));
    if (found == nullptr || found->version != TESSELVAR_CORE_API_VERSION ||
        found->add == nullptr || found->keys == nullptr ||
        found->get == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    Py_INCREF(found->add);
    Py_INCREF(found->keys);
    Py_INCREF(found->get);
    state.partner = found;
    return found;
}

}  // namespace

bool
partner_keys_and_get(PyTypeObject* tp) noexcept
{
    // A class that borrowed the descriptors without deriving from TesselVar
    // gets the descriptors' own refusal: only TesselVar's kind qualifies.
    const TesselVarCoreAPI* a = api();
    return a != nullptr && PyType_IsSubtype(tp, a->type) &&
           type_attr(tp, names.keys) == a->keys &&
           type_attr(tp, names.get) == a->get;
}

bool
partner_add(PyTypeObject* tp) noexcept
{
    const TesselVarCoreAPI* a = api();
    // Reading `x.add` must run nothing either: a __getattribute__ of the
    // class runs before the entries are unpacked for the call.
    return a != nullptr && PyType_IsSubtype(tp, a->type) && lookup_is_plain(tp) &&
           type_attr(tp, names.add) == a->add;
}

}  // namespace vm

// var_main/dispatch.cpp: resolving `self.<name>` from its parts.
#include "dispatch.hpp"

#include "runtime/function.hpp"
#include "store.hpp"

#include <cstdint>

namespace vm {

namespace {

getattrofunc g_hook = nullptr;             // TesselVarMain's tp_getattro
PyObject* g_object_getattribute = nullptr; // object.__getattribute__
PyObject* g_object_delattr = nullptr;      // object.__delattr__
PyObject* g_dict_descr = nullptr;          // TesselVarMain.__dict__ (owned)
PyObject* g_skip_static = nullptr;         // the staticmethod (owned)
PyObject* g_skip_fn = nullptr;             // the function inside (owned)

// What we know of a type's attribute lookup, valid while its version tag is
// unchanged (any change to the type or a base gives it a new tag).
struct TypeInfo {
    static constexpr int kSlots = 16;
    PyTypeObject* tp = nullptr;
    unsigned int tag = 0;
    bool lookup_plain = false;
    bool dict_plain = false;
    bool delattr_plain = false;
    // What the type has under our own (interned) names; borrowed from the
    // type's dicts, which cannot change without a new tag.
    int used = 0;
    PyObject* names[kSlots];
    PyObject* found[kSlots];
};
TypeInfo g_types[8];

TypeInfo&
info(PyTypeObject* tp) noexcept
{
    TypeInfo& e = g_types[(reinterpret_cast<std::uintptr_t>(tp) >> 4) & 7];
    if (e.tp == tp && e.tag != 0 && e.tag == tp->tp_version_tag) {
        return e;
    }
    PyObject* getattribute = _PyType_Lookup(tp, names.dunder_getattribute);
    bool lookup_plain =
        (tp->tp_getattro == g_hook ||
         tp->tp_getattro == PyObject_GenericGetAttr) &&
        getattribute == g_object_getattribute && g_hook != nullptr;
    bool dict_plain = lookup_plain &&
                      _PyType_Lookup(tp, names.dunder_dict) == g_dict_descr;
    e.tp = tp;
    e.tag = tp->tp_version_tag;  // 0 if none could be given: never cached
    e.used = 0;
    e.lookup_plain = lookup_plain;
    e.dict_plain = dict_plain;
    e.delattr_plain = lookup_plain && _PyType_Lookup(tp, names.dunder_delattr) ==
                                          g_object_delattr;
    return e;
}

// _PyType_Lookup(tp, name) for one of our interned names, remembered for
// the type's current version.
PyObject*
type_lookup(TypeInfo& e, PyTypeObject* tp, PyObject* name) noexcept
{
    for (int i = 0; i < e.used; ++i) {
        if (e.names[i] == name) {
            return e.found[i];
        }
    }
    PyObject* found = _PyType_Lookup(tp, name);
    if (e.tp == tp && e.tag != 0 && e.tag == tp->tp_version_tag &&
        e.used < TypeInfo::kSlots) {
        e.names[e.used] = name;
        e.found[e.used] = found;
        ++e.used;
    }
    return found;
}

}  // namespace

bool
record_class(PyObject* cls) noexcept
{
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    g_hook = tp->tp_getattro;
    g_object_getattribute =
        _PyType_Lookup(&PyBaseObject_Type, names.dunder_getattribute);
    g_object_delattr =
        _PyType_Lookup(&PyBaseObject_Type, names.dunder_delattr);
    g_dict_descr = Py_XNewRef(_PyType_Lookup(tp, names.dunder_dict));
    g_skip_static = Py_XNewRef(_PyType_Lookup(tp, names.skip));
    g_skip_fn = PyObject_GetAttr(cls, names.skip);
    return g_object_getattribute != nullptr && g_dict_descr != nullptr &&
           g_skip_static != nullptr && g_skip_fn != nullptr;
}

bool
lookup_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).lookup_plain;
}

bool
dict_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).dict_plain;
}

bool
delattr_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).delattr_plain;
}

bool
is_own(PyObject* fn, Entry entry) noexcept
{
    return fn != nullptr && is_function(fn) && function_spec(fn).entry == entry;
}

bool
is_own_skip(PyObject* fn) noexcept
{
    return fn == g_skip_fn;
}

PyObject*
own_method(PyObject* self, PyObject* name, int* bind) noexcept
{
    *bind = 0;
    PyTypeObject* tp = Py_TYPE(self);
    TypeInfo& e = info(tp);
    if (!e.lookup_plain) {
        return nullptr;
    }
    PyObject* descr = type_lookup(e, tp, name);
    PyObject* fn;
    int binds;
    if (descr == nullptr) {
        return nullptr;
    }
    if (is_function(descr)) {
        fn = descr;
        binds = 1;
    }
    else if (descr == g_skip_static) {
        fn = g_skip_fn;
        binds = 0;
    }
    else {
        return nullptr;
    }
    // Neither is a data descriptor, so an instance variable comes first.
    // The probe may run Python code (__eq__ of a key with the same hash) that
    // changes the class, so `descr` is held across it and the answer is only
    // kept if the type still resolves the name to it; otherwise the caller
    // takes the ordinary lookup.
    Ref keep = Ref::borrow(descr);
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) {
        *bind = -1;
        return nullptr;
    }
    int hidden = PyDict_Contains(d.get(), name);
    if (hidden != 0) {
        *bind = hidden < 0 ? -1 : 0;
        return nullptr;
    }
    TypeInfo& again = info(tp);
    if (Py_TYPE(self) != tp || !again.lookup_plain ||
        type_lookup(again, tp, name) != descr) {
        return nullptr;
    }
    *bind = binds;
    return fn;
}

Ref
own_setting(PyObject* self, PyObject* name) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    TypeInfo& e = info(tp);
    if (!e.lookup_plain || type_lookup(e, tp, name) != nullptr) {
        return Ref();
    }
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) {
        return Ref();
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(d.get(), name, &value) < 0) {
        return Ref();
    }
    return Ref::steal(value);  // empty when absent: the literal lookup runs
}

}  // namespace vm

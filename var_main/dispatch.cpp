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
    PyTypeObject* tp = nullptr;
    unsigned int tag = 0;
    bool lookup_plain = false;
    bool dict_plain = false;
    bool delattr_plain = false;
};
TypeInfo g_types[8];

const TypeInfo&
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
    e.lookup_plain = lookup_plain;
    e.dict_plain = dict_plain;
    e.delattr_plain = lookup_plain && _PyType_Lookup(tp, names.dunder_delattr) ==
                                          g_object_delattr;
    return e;
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
    if (!info(tp).lookup_plain) {
        return nullptr;
    }
    PyObject* descr = _PyType_Lookup(tp, name);
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
    *bind = binds;
    return fn;
}

Ref
own_setting(PyObject* self, PyObject* name) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    if (!info(tp).lookup_plain || _PyType_Lookup(tp, name) != nullptr) {
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

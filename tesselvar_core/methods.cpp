// tesselvar_core/methods.cpp: TesselVar's own add, keys and get.
//
// var_main reaches these three through attribute lookup on each store, and
// a store may hold variables of the same names (any JSON key can become a
// variable).  So each method sits in the class inside a data descriptor,
// which attribute lookup prefers over the instance dict: `store.keys` is
// always the method, while a variable "keys" stays stored, exported and
// reachable through _mv_get.  The descriptor binds like the method it wraps
// (`TesselVar.get(store, "a")` and `super().get(...)` work); assigning or
// deleting through it writes or removes the instance-dict entry of that
// name, as plain attribute assignment and `del` would without it.
#include "core.hpp"
#include "runtime/arguments.hpp"
#include "store/public_class.hpp"
#include "store/rules.hpp"

#include <cstddef>

namespace tv {

namespace {

struct OwnMethod {
    PyObject_HEAD PyObject* method;  // a method descriptor of TesselVar
    PyObject* name;
};

OwnMethod*
as_own(PyObject* self) noexcept
{
    return reinterpret_cast<OwnMethod*>(self);
}

// The refusal of CPython's own descriptors: this one applies to stores of
// TesselVar and its subclasses, and never writes the dict of a class (an
// instance of a metaclass deriving from TesselVar: its dict is its type
// dict, which only setattr() may change).
bool
applies_to(PyObject* self, PyObject* obj, bool writing) noexcept
{
    PyTypeObject* tp = Py_TYPE(obj);
    if (!PyObject_TypeCheck(obj, g.store)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%U' for '%.100s' objects doesn't apply to a "
                     "'%.100s' object",
                     as_own(self)->name, g.store->tp_name, tp->tp_name);
        return false;
    }
    if (!writing || !PyType_HasFeature(tp, Py_TPFLAGS_TYPE_SUBCLASS)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%U' for '%.100s' objects cannot write the "
                 "attributes of a class",
                 as_own(self)->name, g.store->tp_name);
    return false;
}

PyObject*
own_get(PyObject* self, PyObject* obj, PyObject* type) noexcept
{
    PyObject* method = as_own(self)->method;
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(method);
    }
    if (!applies_to(self, obj, false)) {
        return nullptr;
    }
    return Py_TYPE(method)->tp_descr_get(method, obj, type);
}

int
own_set(PyObject* self, PyObject* obj, PyObject* value) noexcept
{
    if (!applies_to(self, obj, true)) {
        return -1;
    }
    PyObject* name = as_own(self)->name;
    Ref d = Ref::steal(vm::cpy::object_dict(obj));
    if (!d) {
        return -1;
    }
    if (value != nullptr) {
        return PyDict_SetItem(d.get(), name, value);
    }
    PyObject* old = nullptr;
    const int found = PyDict_Pop(d.get(), name, &old);
    if (found == 0) {
        vm::raise_no_attribute(obj, name);
        return -1;
    }
    Py_XDECREF(old);
    return found < 0 ? -1 : 0;
}

void
own_dealloc(PyObject* self) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    Py_XDECREF(as_own(self)->method);
    Py_XDECREF(as_own(self)->name);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject*
own_repr(PyObject* self) noexcept
{
    return PyObject_Repr(as_own(self)->method);
}

// __name__, __qualname__, __objclass__ and __text_signature__ are those of
// the wrapped method, for help() and inspect; so is __doc__ (below).
PyObject*
own_getattr(PyObject* self, PyObject* name) noexcept
{
    Ref found = Ref::steal(PyObject_GenericGetAttr(self, name));
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return found.release();
    }
    PyErr_Clear();
    return PyObject_GetAttr(as_own(self)->method, name);
}

PyObject*
own_doc(PyObject* self, void*) noexcept
{
    return PyObject_GetAttrString(as_own(self)->method, "__doc__");
}

PyGetSetDef own_getset[] = {
    {"__doc__", own_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot own_slots[] = {
    {Py_tp_getset, own_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(own_get)},
    {Py_tp_descr_set, reinterpret_cast<void*>(own_set)},
    {Py_tp_dealloc, reinterpret_cast<void*>(own_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(own_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(own_getattr)},
    {0, nullptr},
};

PyType_Spec own_spec = {
    "tesselvar._core.own_method",
    sizeof(OwnMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    own_slots,
};

// --- The methods ------------------------------------------------------
// What they do is written once in store/public_class.cpp, where var_main's
// shortcuts for calls of them find it too.

PyObject* const kNoDefaults[] = {nullptr};
const vm::Signature kAdd = {"TesselVar.add", nullptr, kNoDefaults, 0, 0, 0, true, true};

// add(self, /, **kwargs)
PyObject*
store_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    Ref kwargs;
    if (!vm::match_signature(kAdd, args, nargs, kwnames, nullptr, &kwargs)) {
        return nullptr;
    }
    if (!kwargs && !(kwargs = Ref::steal(PyDict_New()))) {
        return nullptr;
    }
    if (!vm::add_variables(self, kwargs.get())) {
        return nullptr;
    }
    return vm::new_none();
}

PyObject*
store_keys(PyObject* self, PyObject*) noexcept
{
    return new_keys_view(self).release();
}

const char* const kGetNames[] = {"name", "default"};
PyObject* const kGetDefaults[] = {nullptr, Py_None};
const vm::Signature kGet = {"TesselVar.get", kGetNames, kGetDefaults, 0, 2, 2, false, true};

// get(self, name, default=None)
PyObject*
store_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    PyObject* params[2];
    if (!vm::match_signature(kGet, args, nargs, kwnames, params, nullptr)) {
        return nullptr;
    }
    Ref name = Ref::borrow(params[0]);
    Ref fallback = Ref::borrow(params[1]);
    return vm::get_variable(self, name.get(), fallback.get()).release();
}

// METH_FASTCALL | METH_KEYWORDS functions stored as PyCFunction.
template <typename Fn>
PyCFunction
as_cfunction(Fn fn) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef add_def = {"add", as_cfunction(store_add), METH_FASTCALL | METH_KEYWORDS,
                       "add($self, /, **kwargs)\n--\n\n"
                       "Store each keyword as a variable, merging into what is there.\n"
                       "\n"
                       "Calls self._mv_add(kwargs); any keyword works, \"self\" included."};

PyMethodDef keys_def = {"keys", store_keys, METH_NOARGS,
                        "keys($self, /)\n--\n\n"
                        "A set-like view of the names of the variables.\n"
                        "\n"
                        "Iterates in insertion order and leaves out what self._skip() names;\n"
                        "`name in store.keys()` is a dict probe."};

PyMethodDef get_def = {"get", as_cfunction(store_get), METH_FASTCALL | METH_KEYWORDS,
                       "get($self, name, default=None)\n--\n\n"
                       "The value of the variable ``name``, or ``default``."};

Ref
wrap(PyTypeObject* own_type, PyMethodDef* def) noexcept
{
    Ref method = Ref::steal(PyDescr_NewMethod(g.store, def));
    Ref name = Ref::steal(PyUnicode_InternFromString(def->ml_name));
    if (!method || !name) {
        return Ref();
    }
    OwnMethod* o = PyObject_New(OwnMethod, own_type);
    if (o == nullptr) {
        return Ref();
    }
    o->method = method.release();
    o->name = name.release();
    return Ref::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace

bool
make_methods(PyObject* module) noexcept
{
    g.method =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &own_spec, nullptr));
    if (g.method == nullptr) {
        return false;
    }
    struct Item {
        PyMethodDef* def;
        PyObject** slot;
    };
    const Item items[] = {{&add_def, &g.add}, {&keys_def, &g.keys}, {&get_def, &g.get}};
    for (const Item& item : items) {
        Ref descr = wrap(g.method, item.def);
        if (!descr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(g.store),
                                             item.def->ml_name, descr.get()) < 0) {
            return false;
        }
        *item.slot = descr.release();
    }
    vm::register_public_class(g.store, g.add, g.keys, g.get, store_truth, make_plainly,
                              makes_plainly);
    return true;
}

}  // namespace tv

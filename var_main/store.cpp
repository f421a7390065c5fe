// var_main/store.cpp: helpers shared by every part of the store.
#include "store.hpp"

#include "dispatch.hpp"
#include "methods.hpp"
#include "runtime/function.hpp"
#include "runtime/internals.hpp"

#include <cstdint>
#include <cstring>

namespace vm {

State state;
Names& names = state.names;

bool
init_names() noexcept
{
    struct Item {
        PyObject** slot;
        const char* text;
    };
    const Item entries[] = {
        {&names.i_c_u, "_i_c_u"},
        {&names.g_n_r, "_g_n_r"},
        {&names.g_n_i, "_g_n_i"},
        {&names.g_n_s, "_g_n_s"},
        {&names.skip, "_skip"},
        {&names.set_dict, "_set_dict"},
        {&names.set_list, "_set_list"},
        {&names.set_attr, "_set_attr"},
        {&names.mv_set, "_mv_set"},
        {&names.mv_add, "_mv_add"},
        {&names.mv_keys, "_mv_keys"},
        {&names.mv_pop, "_mv_pop"},
        {&names.to_dict, "_to_dict"},
        {&names.list_to_dict, "_list_to_dict"},
        {&names.add, "add"},
        {&names.keys, "keys"},
        {&names.get, "get"},
        {&names.update, "update"},
        {&names.append, "append"},
        {&names.startswith, "startswith"},
        {&names.split, "split"},
        {&names.dunder_dict, "__dict__"},
        {&names.dunder_name, "__name__"},
        {&names.tesselvar, "TesselVar"},
        {&names.partner_module, "tesselvar._core"},
        {&names.partner_capsule, "_C_API"},
        {&names.dunder_getattribute, "__getattribute__"},
        {&names.dunder_delattr, "__delattr__"},
        {&names.dunder_setattr, "__setattr__"},
        {&names.dollar_dot, "$."},
        {&names.dot, "."},
        {&names.new_, "new"},
    };
    for (const Item& e : entries) {
        if (*e.slot == nullptr) {
            *e.slot = PyUnicode_InternFromString(e.text);
            if (*e.slot == nullptr) {
                return false;
            }
        }
    }
    if (names.kw_new == nullptr) {
        names.kw_new = PyTuple_Pack(1, names.new_);
        if (names.kw_new == nullptr) {
            return false;
        }
    }
    return true;
}

Ref
instance_dict(PyObject* self) noexcept
{
    if (dict_is_plain(Py_TYPE(self))) {
        return Ref::steal(PyObject_GenericGetDict(self, nullptr));
    }
    return Ref::steal(PyObject_GetAttr(self, names.dunder_dict));
}

Ref
dict_get(PyObject* d, PyObject* key) noexcept
{
    if (PyDict_CheckExact(d)) {
        PyObject* found;
        int r = PyDict_GetItemRef(d, key, &found);
        if (r < 0) {
            return Ref();
        }
        return r ? Ref::steal(found) : Ref::borrow(Py_None);
    }
    PyObject* stack[] = {d, key};
    return Ref::steal(PyObject_VectorcallMethod(
        names.get, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref
dict_item(PyObject* d, PyObject* key) noexcept
{
    return Ref::steal(PyObject_GetItem(d, key));
}

int
dict_store(PyObject* d, PyObject* key, PyObject* value) noexcept
{
    if (PyDict_CheckExact(d)) {
        return PyDict_SetItem(d, key, value);
    }
    return PyObject_SetItem(d, key, value);
}

bool
nested_store_test_runs_no_code(PyTypeObject* tp) noexcept
{
    return Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type) &&
           (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
            PyUnicode_CheckExact(cpy::heap_type_name(tp)));
}

PyObject*
own_setattr(PyTypeObject* tp) noexcept
{
    if (tp->tp_setattro != state.cls.setattr_slot || state.cls.setattr_slot == nullptr) {
        return nullptr;
    }
    PyObject* fn = type_attr(tp, names.dunder_setattr);
    return is_own(fn, &Adapt<&setattr_hook>::run) ? fn : nullptr;
}

int
set_attribute(PyObject* self, PyObject* name, PyObject* value) noexcept
{
    PyObject* fn = PyUnicode_CheckExact(name) ? own_setattr(Py_TYPE(self)) : nullptr;
    if (fn == nullptr) {
        return PyObject_SetAttr(self, name, value);
    }
    Ref hold = Ref::borrow(fn);
    Ref interned = Ref::steal(cpy::interned_name(state.interp, name));
    PyObject* args[3] = {self, interned.get(), value};
    Ref r = Ref::steal(call_own(fn, args, 3, nullptr));
    return r ? 0 : -1;
}

bool
require_dict(PyObject* d) noexcept
{
    if (PyDict_Check(d)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "__dict__ must be a dict, not '%.200s'",
                 Py_TYPE(d)->tp_name);
    return false;
}

Ref
call_method(PyObject* self, PyObject* name,
            std::initializer_list<PyObject*> args, PyObject* kwnames,
            PyThreadState* ts) noexcept
{
    // stack[0] is spare, for the callee's use (ARGUMENTS_OFFSET).
    PyObject* stack[kMaxParams + 3];
    stack[0] = nullptr;
    stack[1] = self;
    std::size_t n = 1;
    for (PyObject* a : args) {
        stack[1 + n++] = a;
    }
    std::size_t npos = n;
    if (kwnames != nullptr) {
        npos -= static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    }
    constexpr std::size_t offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
    int bind = 0;
    PyObject* fn = own_method(self, name, &bind);
    if (fn != nullptr) {
        Ref hold = Ref::borrow(fn);
        const auto total = static_cast<Py_ssize_t>(n);
        if (bind) {
            return Ref::steal(call_own(fn, stack + 1, total, kwnames, ts));
        }
        return Ref::steal(call_own(fn, stack + 2, total - 1, kwnames, ts));
    }
    if (bind < 0) {
        return Ref();
    }
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, npos | offset, kwnames));
}

int
is_nested_store(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    PyObject* name = nullptr;  // borrowed: type(v).__name__ when it is a str
    if (Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type)) {
        if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
            // A static type's __name__ follows the last dot of tp_name.
            const char* text = tp->tp_name;
            if (const char* dot = std::strrchr(text, '.')) {
                text = dot + 1;
            }
            return std::strcmp(text, "TesselVar") == 0;
        }
        // A heap type's __name__ is ht_name, which is not tp_name for a
        // type made from a spec ("pkg.TesselVar" has __name__ "TesselVar").
        name = cpy::heap_type_name(tp);
        if (name == names.tesselvar) {
            return 1;
        }
        if (PyUnicode_CheckExact(name)) {
            return PyUnicode_EqualToUTF8(name, "TesselVar");
        }
    }
    // A metaclass may answer __name__ in its own way, and a str subclass
    // compares in its own way: ask like `type(v).__name__ == "TesselVar"`.
    Ref held = name != nullptr
                   ? Ref::borrow(name)
                   : Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp),
                                                 names.dunder_name));
    if (!held) {
        return -1;
    }
    Ref eq = Ref::steal(
        PyObject_RichCompare(held.get(), names.tesselvar, Py_EQ));
    if (!eq) {
        return -1;
    }
    return PyObject_IsTrue(eq.get());
}

bool
store_test_is_plain(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    return Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type) &&
           (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
            PyUnicode_CheckExact(cpy::heap_type_name(tp)));
}

bool
only_str_keys(PyObject* d) noexcept
{
    return cpy::dict_has_only_str_keys(d);
}

ListBuilder::~ListBuilder()
{
    for (std::size_t i = 0; i < size_; ++i) {
        Py_DECREF(items_[i]);
    }
    if (items_ != inline_) {
        PyMem_Free(items_);
    }
}

bool
ListBuilder::push(Ref item) noexcept
{
    if (size_ == capacity_) {
        std::size_t grown = capacity_ * 2;
        auto** bigger =
            static_cast<PyObject**>(PyMem_Malloc(grown * sizeof(PyObject*)));
        if (bigger == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(bigger, items_, size_ * sizeof(PyObject*));
        if (items_ != inline_) {
            PyMem_Free(items_);
        }
        items_ = bigger;
        capacity_ = grown;
    }
    items_[size_++] = item.release();
    return true;
}

Ref
ListBuilder::finish() noexcept
{
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(size_)));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < size_; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items_[i]);
    }
    size_ = 0;
    return list;
}

bool
is_setting_name(PyObject* key) noexcept
{
    if (PyUnicode_GET_LENGTH(key) != 6) {
        return false;
    }
    PyObject* const settings[] = {names.i_c_u, names.g_n_r, names.g_n_i,
                                  names.g_n_s};
    for (PyObject* s : settings) {
        if (key == s) {
            return true;
        }
    }
    for (PyObject* s : settings) {
        if (PyUnicode_Compare(key, s) == 0) {
            return true;
        }
    }
    return false;
}

int
SkipRule::own() noexcept
{
    if (state_ == State::Unknown) {
        int bind = 0;
        PyObject* fn = own_method(self_, names.skip, &bind);
        if (bind < 0) {
            return -1;
        }
        state_ = is_own_skip(fn, bind) ? State::Own : State::Other;
    }
    return state_ == State::Own;
}

int
SkipRule::test(PyObject* key) noexcept
{
    if (PyUnicode_CheckExact(key)) {
        int mine = own();
        if (mine < 0) {
            return -1;
        }
        if (mine) {
            return is_setting_name(key);
        }
    }
    state_ = State::Unknown;
    return is_skipped(self_, key);
}

int
is_skipped(PyObject* self, PyObject* key) noexcept
{
    Ref skip = call_method(self, names.skip, {});
    if (!skip) {
        return -1;
    }
    return PySequence_Contains(skip.get(), key);
}

}  // namespace vm

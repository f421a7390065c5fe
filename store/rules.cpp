// store/rules.cpp: what every method needs to know about a store (see
// rules.hpp), and the walks' list builder.
#include "store/rules.hpp"

#include "store/walks.hpp"

#include <cstring>

namespace vm {

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
    code_may_run();
    PyObject* stack[] = {d, key};
    return Ref::steal(
        PyObject_VectorcallMethod(names().get, stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref
dict_item(PyObject* d, PyObject* key) noexcept
{
    code_may_run();
    return Ref::steal(PyObject_GetItem(d, key));
}

int
dict_store(PyObject* d, PyObject* key, PyObject* value) noexcept
{
    code_may_run();  // the old value's finalizer, or a watcher, may run
    if (PyDict_CheckExact(d)) {
        return PyDict_SetItem(d, key, value);
    }
    return PyObject_SetItem(d, key, value);
}

bool
require_dict(PyObject* d) noexcept
{
    if (PyDict_Check(d)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "__dict__ must be a dict, not '%.200s'", Py_TYPE(d)->tp_name);
    return false;
}

void
raise_no_attribute(PyObject* obj, PyObject* name) noexcept
{
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(obj)->tp_name, name);
    PyObject* exc = PyErr_GetRaisedException();
    // Like the interpreter's own error: name and obj feed its suggestions.
    if (PyObject_SetAttrString(exc, "name", name) < 0 ||
        PyObject_SetAttrString(exc, "obj", obj) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

bool
nested_store_test_runs_no_code(PyTypeObject* tp) noexcept
{
    return Py_IS_TYPE(reinterpret_cast<PyObject*>(tp), &PyType_Type) &&
           (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || PyUnicode_CheckExact(cpy::heap_type_name(tp)));
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
        if (name == names().tesselvar) {
            return 1;
        }
        if (PyUnicode_CheckExact(name)) {
            return PyUnicode_EqualToUTF8(name, "TesselVar");
        }
    }
    // A metaclass may answer __name__ in its own way, and a str subclass
    // compares in its own way: ask like `type(v).__name__ == "TesselVar"`.
    code_may_run();
    Ref held =
        name != nullptr
            ? Ref::borrow(name)
            : Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), names().dunder_name));
    if (!held) {
        return -1;
    }
    Ref eq = Ref::steal(PyObject_RichCompare(held.get(), names().tesselvar, Py_EQ));
    if (!eq) {
        return -1;
    }
    return PyObject_IsTrue(eq.get());
}

// --- ListBuilder ---------------------------------------------------------------

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
        auto** bigger = static_cast<PyObject**>(PyMem_Malloc(grown * sizeof(PyObject*)));
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

}  // namespace vm

// runtime/internals.cpp: the layout-dependent facilities and their
// start-up checks (see internals.hpp).
#include "runtime/internals.hpp"

#include <cstdint>

namespace vm::cpy {

namespace {

bool
check_keys_kind() noexcept
{
    Ref str_keys = Ref::steal(Py_BuildValue("{s:i,s:i}", "a", 1, "b", 2));
    Ref int_key = Ref::steal(Py_BuildValue("{i:i}", 1, 1));
    Ref mixed = Ref::steal(Py_BuildValue("{s:i,i:i}", "a", 1, 2, 2));
    if (!str_keys || !int_key || !mixed) {
        return false;
    }
    facilities.keys_kind = keys_kind(str_keys.get()) == 1 && keys_kind(int_key.get()) == 0 &&
                           keys_kind(mixed.get()) == 0;
    return true;
}

bool
check_staticmethod() noexcept
{
    Ref probe = Ref::steal(PyList_New(0));
    Ref sm = probe ? Ref::steal(PyStaticMethod_New(probe.get())) : Ref();
    if (!sm) {
        return false;
    }
    Ref func = Ref::steal(PyObject_GetAttrString(sm.get(), "__func__"));
    if (!func) {
        return false;
    }
    facilities.staticmethod = Py_IS_TYPE(sm.get(), &PyStaticMethod_Type) &&
                              reinterpret_cast<StaticMethod*>(sm.get())->callable == probe.get() &&
                              func.get() == probe.get();
    return true;
}

// The entries read in place are those PyDict_Next gives, removed ones aside,
// on dicts whose index tables are one and two bytes wide (the entries start
// after the table however wide it is).
bool
check_dict_entries() noexcept
{
    facilities.dict_entries = true;  // for the reading below
    bool same = true;
    for (int size : {3, 300}) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) {
            facilities.dict_entries = false;
            return false;
        }
        for (int i = 0; i < size; ++i) {
            Ref key = Ref::steal(PyUnicode_FromFormat("k%d", i));
            if (!key || PyDict_SetItem(d.get(), key.get(), key.get()) < 0) {
                facilities.dict_entries = false;
                return false;
            }
        }
        Ref gone = Ref::steal(PyUnicode_FromString("k1"));
        if (!gone || PyDict_DelItem(d.get(), gone.get()) < 0) {
            facilities.dict_entries = false;
            return false;
        }
        Py_ssize_t count = 0;
        const StrEntry* entries = str_entries(d.get(), &count);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        Py_ssize_t i = 0;
        while (same && entries != nullptr && PyDict_Next(d.get(), &pos, &key, &value)) {
            while (i < count && entries[i].value == nullptr) {
                ++i;
            }
            same = i < count && entries[i].key == key && entries[i].value == value;
            ++i;
        }
        same = same && entries != nullptr && count == size;
    }
    facilities.dict_entries = same;
    return true;
}

// One level entered and left through the public pair moves the counter we
// read by exactly one, and back.
bool
check_recursion() noexcept
{
    PyThreadState* ts = PyThreadState_Get();
    const int before = ts->c_recursion_remaining;
    if (Py_EnterRecursiveCall("")) {
        return false;
    }
    const int inside = ts->c_recursion_remaining;
    Py_LeaveRecursiveCall();
    facilities.recursion = inside == before - 1 && ts->c_recursion_remaining == before;
    return true;
}

// An instance of a class made by type() takes a dict through
// set_first_dict: it reads and stores its attributes there, gives it back
// through object_dict, and drops its reference when it dies; object_dict
// also finds a dict the interpreter made.
bool
check_first_dict() noexcept
{
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                               "probe", PyDict_New()));
    Ref obj = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    Ref other = cls ? Ref::steal(PyObject_CallNoArgs(cls.get())) : Ref();
    Ref d = Ref::steal(Py_BuildValue("{s:i}", "a", 7));
    Ref two = Ref::steal(PyLong_FromLong(2));
    if (!obj || !other || !d || !two || PyObject_SetAttrString(other.get(), "a", two.get()) < 0) {
        return false;
    }
    Ref made = Ref::steal(PyObject_GenericGetDict(other.get(), nullptr));
    if (!made) {
        return false;
    }
    facilities.managed_dict = true;  // for the calls below
    bool same = set_first_dict(obj.get(), d.get()) && Py_REFCNT(d.get()) == 2;
    if (same) {
        Ref read = Ref::steal(PyObject_GetAttrString(obj.get(), "a"));
        Ref whole = Ref::steal(object_dict(obj.get()));
        Ref found = Ref::steal(object_dict(other.get()));
        if (!read || !whole || !found || PyObject_SetAttrString(obj.get(), "b", two.get()) < 0) {
            facilities.managed_dict = false;
            return false;
        }
        same = whole.get() == d.get() && found.get() == made.get() &&
               read.get() == PyDict_GetItemString(d.get(), "a") &&
               PyDict_GetItemString(d.get(), "b") == two.get() && PyDict_GET_SIZE(d.get()) == 2;
    }
    obj = Ref();
    facilities.managed_dict = same && Py_REFCNT(d.get()) == 1;
    return true;
}

}  // namespace

Facilities facilities;

bool
check_watch_bits(int watcher) noexcept
{
    facilities.watch_bits = false;
#if !(PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED))
    return true;
#endif
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_Watch(watcher, d.get()) < 0) {
        return false;
    }
    facilities.watch_bits = true;  // for the question below
    const bool on = dict_watched(d.get(), watcher);
    if (PyDict_Unwatch(watcher, d.get()) < 0) {
        facilities.watch_bits = false;
        return false;
    }
    facilities.watch_bits = on && !dict_watched(d.get(), watcher);
    return true;
}

bool
verify() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    return check_keys_kind() && check_staticmethod() && check_recursion() && check_dict_entries() &&
           check_first_dict();
#else
    return true;
#endif
}

bool
scan_for_str_keys(PyObject* d) noexcept
{
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

TextWriter::TextWriter() noexcept
{
    _PyUnicodeWriter_Init(&w_);
    w_.overallocate = 1;
}

TextWriter::~TextWriter()
{
    if (!done_) {
        _PyUnicodeWriter_Dealloc(&w_);
    }
}

bool
TextWriter::ascii(const char* text, Py_ssize_t len) noexcept
{
    return _PyUnicodeWriter_WriteASCIIString(&w_, text, len) == 0;
}

bool
TextWriter::str(PyObject* text) noexcept
{
    return _PyUnicodeWriter_WriteStr(&w_, text) == 0;
}

PyObject*
TextWriter::finish() noexcept
{
    done_ = true;
    return _PyUnicodeWriter_Finish(&w_);
}

}  // namespace vm::cpy

// var_main/runtime/errors.cpp: error texts and traceback entries.
//
// A traceback entry is a fake frame: an empty code object named after the
// method whose first line is the failing line, run in the module's globals.
// CPython computes the entry's line from co_firstlineno, so no internal
// header is needed.  Code objects are made once per (name, line) and kept.
#include "runtime/errors.hpp"

#include "runtime/internals.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <cstring>

namespace vm {

namespace {

PyCodeObject*
code_for(const char* funcname, int line) noexcept
{
    for (const CachedCode& c : state.codes) {
        if (c.line == line && std::strcmp(c.funcname, funcname) == 0) {
            return c.code;
        }
    }
    PyCodeObject* code = PyCode_NewEmpty("var_main.py", funcname, line);
    if (code == nullptr) {
        return nullptr;
    }
    try {
        state.codes.push_back({funcname, line, code});
    }
    catch (...) {
        Py_DECREF(code);
        return nullptr;
    }
    return code;
}

// The `__name__` of a type: the bare name, without the module prefix that a
// static type carries in tp_name ("collections.OrderedDict" -> "OrderedDict").
const char*
type_name(PyTypeObject* type) noexcept
{
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* name = cpy::heap_type_name(type);
        const char* utf8 = PyUnicode_AsUTF8(name);
        if (utf8 != nullptr) {
            return utf8;
        }
        PyErr_Clear();
        return type->tp_name;
    }
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot != nullptr ? dot + 1 : type->tp_name;
}

}  // namespace

void
add_traceback(const char* funcname, int line) noexcept
{
    if (state.globals == nullptr || !PyErr_Occurred()) {
        return;
    }
    // Making the code object and the frame must not see the pending error.
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(funcname, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, state.globals, nullptr);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void
raise_argument_type(const char* param, PyTypeObject* expected,
                    PyObject* got) noexcept
{
    PyTypeObject* got_type = Py_TYPE(got);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, "
                 "got %.200s)",
                 param, type_name(expected), type_name(got_type));
    if (got != Py_None && PyType_IsSubtype(got_type, expected)) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal(PyUnicode_FromFormat(
            "var_main accepts exactly %s for '%s', not a subclass of it; "
            "convert the argument first (for example %s(value)).",
            type_name(expected), param, type_name(expected)));
        if (note) {
            Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O",
                                                   note.get()));
        }
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
}

void
raise_result_type(PyTypeObject* expected, PyObject* got) noexcept
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s",
                 type_name(expected), type_name(Py_TYPE(got)));
}

void
raise_dict_changed() noexcept
{
    PyErr_SetString(PyExc_RuntimeError,
                    "dictionary changed size during iteration");
}

}  // namespace vm

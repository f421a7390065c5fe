// runtime/errors.cpp: error texts and traceback entries.
//
// A traceback entry is a fake frame: an empty code object named after the
// method whose first line is the failing line, run in the module's globals.
// CPython computes the entry's line from co_firstlineno, so no internal
// header is needed.  Code objects are made once per (name, line) and kept.
#include "runtime/errors.hpp"

#include "runtime/internals.hpp"

#include <frameobject.h>

#include <cstring>
#include <vector>

namespace vm {

namespace {

// A traceback entry's code object, made once per file, function name and
// line and kept for the life of the process.
struct CachedCode {
    const char* file;
    const char* funcname;
    int line;
    PyCodeObject* code;
};
std::vector<CachedCode> codes;

PyCodeObject*
code_for(const char* file, const char* funcname, int line) noexcept
{
    for (const CachedCode& c : codes) {
        if (c.line == line && std::strcmp(c.funcname, funcname) == 0 &&
            std::strcmp(c.file, file) == 0) {
            return c.code;
        }
    }
    PyCodeObject* code = PyCode_NewEmpty(file, funcname, line);
    if (code == nullptr) {
        return nullptr;
    }
    try {
        codes.push_back({file, funcname, line, code});
    }
    catch (...) {
        Py_DECREF(code);
        return nullptr;
    }
    return code;
}

}  // namespace

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

void
add_traceback(const Home& home, const char* funcname, int line) noexcept
{
    if (home.globals == nullptr || !PyErr_Occurred()) {
        return;
    }
    // Making the code object and the frame must not see the pending error.
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(home.file, funcname, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), code, home.globals, nullptr);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void
raise_argument_type(const Home& home, const char* param, PyTypeObject* expected,
                    PyObject* got) noexcept
{
    PyTypeObject* got_type = Py_TYPE(got);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, "
                 "got %.200s)",
                 param, type_name(expected), type_name(got_type));
    if (got != Py_None && PyType_IsSubtype(got_type, expected)) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal(
            PyUnicode_FromFormat("%s accepts exactly %s for '%s', not a subclass of it; "
                                 "convert the argument first (for example %s(value)).",
                                 home.module, type_name(expected), param, type_name(expected)));
        if (note) {
            Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        }
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
}

void
raise_result_type(PyTypeObject* expected, PyObject* got) noexcept
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name(expected),
                 type_name(Py_TYPE(got)));
}

void
raise_dict_changed() noexcept
{
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
}

}  // namespace vm

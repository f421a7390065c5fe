// runtime/errors.hpp: error texts shared by every method, and traceback
// entries.
#pragma once

#include "runtime/method.hpp"

namespace vm {

// Adds an entry `File "<home.file>", line <line>, in <funcname>` to the
// traceback of the pending exception, in a frame of home's globals.  Code
// objects are cached per file, name and line.  Never fails: if the entry
// cannot be made the exception stays as is.
void add_traceback(const Home& home, const char* funcname, int line) noexcept;

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got
// %.200s)"; a subclass instance also gets a note, naming home's module, that
// says why it is refused.
void raise_argument_type(const Home& home, const char* param, PyTypeObject* expected,
                         PyObject* got) noexcept;

// TypeError "Expected %s, got %.200s" for a result of the wrong type.
void raise_result_type(PyTypeObject* expected, PyObject* got) noexcept;

// Checks a result that must be exactly `expected` or None.  Returns false
// with the TypeError set when it is not.
inline bool
result_ok(PyObject* result, PyTypeObject* expected) noexcept
{
    if (result == Py_None || Py_IS_TYPE(result, expected)) {
        return true;
    }
    raise_result_type(expected, result);
    return false;
}

// RuntimeError "dictionary changed size during iteration".
void raise_dict_changed() noexcept;

// The `__name__` of a type: the bare name, without the module prefix that a
// static type carries in tp_name ("collections.OrderedDict" -> "OrderedDict").
const char* type_name(PyTypeObject* type) noexcept;

}  // namespace vm

// var_main/runtime/errors.hpp: the module's error texts and traceback entries.
#pragma once

#include "runtime/ref.hpp"

namespace vm {

// Adds an entry `File "var_main.py", line <line>, in <funcname>` to the
// traceback of the pending exception.  Code objects are cached per name and
// line.  Never fails: if the entry cannot be made the exception stays as is.
void add_traceback(const char* funcname, int line) noexcept;

// TypeError "Argument '%.200s' has incorrect type (expected %.200s, got
// %.200s)"; a subclass instance also gets a note saying why it is refused.
void raise_argument_type(const char* param, PyTypeObject* expected,
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

}  // namespace vm

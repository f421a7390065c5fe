// var_main/runtime/arguments.cpp: argument matching.
//
// The rules follow what callers of compiled Python methods are used to:
//   * too many positional arguments, or a required parameter that neither a
//     position nor a keyword fills, raise "takes exactly/at least/at most N
//     positional argument(s) (M given)", counting `self`;  for a missing
//     parameter M is the number of parameters before it;
//   * required parameters are looked up among the keywords first, so a
//     missing one is reported before an unknown keyword is;
//   * a keyword naming a parameter already filled by position raises "got
//     multiple values", one naming no parameter "got an unexpected keyword".
// A method without parameters (the static `_skip`) answers like a builtin
// that takes none: "takes no keyword arguments", then "takes no arguments".
#include "runtime/arguments.hpp"

#include "runtime/errors.hpp"

namespace vm {

namespace {

void
raise_count(const char* name, bool exact, Py_ssize_t nmin, Py_ssize_t nmax,
            Py_ssize_t found) noexcept
{
    Py_ssize_t expected;
    const char* more_or_less;
    if (found < nmin) {
        expected = nmin;
        more_or_less = "at least";
    }
    else {
        expected = nmax;
        more_or_less = "at most";
    }
    if (exact) {
        more_or_less = "exactly";
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, (expected == 1) ? "" : "s",
                 found);
}

// Equality of a keyword with a parameter name; neither side can run Python
// code (keywords are str or str subclasses, compared by value).
bool
same_name(PyObject* keyword, PyObject* param) noexcept
{
    if (keyword == param) {
        return true;
    }
    return PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, param) == 0;
}

}  // namespace

bool
match_arguments(const MethodSpec& spec, PyObject* const* names,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values) noexcept
{
    const Py_ssize_t n = spec.nparams;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name,
                         "takes no keyword arguments");
            return false;
        }
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name,
                         "takes no arguments", nargs);
            return false;
        }
        return true;
    }

    Py_ssize_t nmin = 0;
    while (nmin < n && spec.params[nmin].fallback == Default::Required) {
        ++nmin;
    }
    const bool exact = nmin == n;

    if (nargs > n) {
        raise_count(spec.name, exact, nmin, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[i] = args[i];
    }
    auto fill_default = [&](Py_ssize_t i) {
        values[i] = spec.params[i].fallback == Default::False ? Py_False
                                                              : Py_None;
    };

    if (nkw == 0) {
        if (nargs < nmin) {
            raise_count(spec.name, exact, nmin, n, nargs);
            return false;
        }
        for (Py_ssize_t i = nargs; i < n; ++i) {
            fill_default(i);
        }
        return true;
    }

    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t left = nkw;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* name = names[i];
        PyObject* found = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) {
                found = kwvalues[k];
                break;
            }
        }
        if (found != nullptr) {
            values[i] = found;
            --left;
        }
        else if (i < nmin) {
            raise_count(spec.name, exact, nmin, n, i);
            return false;
        }
        else {
            fill_default(i);
        }
    }
    if (left == 0) {
        return true;
    }
    // Some keyword matched no open parameter: say which, and why.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         spec.name);
            return false;
        }
        bool open = false;
        for (Py_ssize_t i = nargs; i < n && !open; ++i) {
            open = same_name(key, names[i]);
        }
        if (open) {
            continue;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            if (same_name(key, names[i])) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument "
                             "'%U'",
                             spec.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%U'", spec.name,
                     key);
        return false;
    }
    return true;
}

bool
check_argument_types(const MethodSpec& spec, PyObject* const* values) noexcept
{
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        if (p.check == Check::None) {
            continue;
        }
        PyObject* v = values[i];
        if (Py_IS_TYPE(v, p.type)) {
            continue;
        }
        if (p.check == Check::ExactOrNone && v == Py_None) {
            continue;
        }
        raise_argument_type(p.name, p.type, v);
        return false;
    }
    return true;
}

}  // namespace vm

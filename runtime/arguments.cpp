// runtime/arguments.cpp: argument matching.
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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, (expected == 1) ? "" : "s", found);
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
match_arguments(const MethodSpec& spec, PyObject* const* names, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** values) noexcept
{
    const Py_ssize_t n = spec.nparams;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;

    if (n == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
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
        values[i] = spec.params[i].fallback == Default::False ? Py_False : Py_None;
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
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
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
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                     key);
        return false;
    }
    return true;
}

bool
check_argument_types(const MethodSpec& spec, const Home& home, PyObject* const* values) noexcept
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
        raise_argument_type(home, p.name, p.type, v);
        return false;
    }
    return true;
}

}  // namespace vm

namespace vm {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'", as the interpreter lists
// missing parameters.
Ref
name_list(const Signature& sig, const int* missing, int count) noexcept
{
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; text && i < count; ++i) {
        const char* sep = i == 0 ? "" : (i == count - 1 ? (count > 2 ? ", and " : " and ") : ", ");
        text = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", text.get(), sep, sig.names[missing[i]]));
    }
    return text;
}

void
raise_missing(const Signature& sig, const int* missing, int count, bool kwonly) noexcept
{
    Ref listed = name_list(sig, missing, count);
    if (!listed) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required %sargument%s: %U", sig.qualname, count,
                 kwonly ? "keyword-only " : "positional ", count == 1 ? "" : "s", listed.get());
}

void
raise_too_many(const Signature& sig, Py_ssize_t given) noexcept
{
    int required = 0;
    while (required < sig.npositional && sig.defaults[required] == nullptr) {
        ++required;
    }
    const int self = sig.method ? 1 : 0;
    const long most = sig.npositional + self;
    const long least = required + self;
    const long got = static_cast<long>(given) + self;
    if (least == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %ld positional argument%s but %ld %s given",
                     sig.qualname, most, most == 1 ? "" : "s", got, got == 1 ? "was" : "were");
    }
    else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %ld to %ld positional arguments but %ld %s given",
                     sig.qualname, least, most, got, got == 1 ? "was" : "were");
    }
}

int
param_index(const Signature& sig, PyObject* key) noexcept
{
    for (int i = 0; i < sig.nparams; ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.names[i])) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool
match_signature(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values, Ref* extra) noexcept
{
    if (nargs > sig.npositional) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (int i = 0; i < sig.nparams; ++i) {
        values[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref posonly_given;  // names of positional-only parameters given by keyword
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.qualname);
            return false;
        }
        const int i = param_index(sig, key);
        if (i >= sig.nposonly) {
            if (values[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                             sig.qualname, key);
                return false;
            }
            values[i] = value;
            continue;
        }
        if (sig.varkw) {  // a positional-only name is just another keyword
            if (!*extra && !(*extra = Ref::steal(PyDict_New()))) {
                return false;
            }
            if (PyDict_SetItem(extra->get(), key, value) < 0) {
                return false;
            }
            continue;
        }
        if (i >= 0) {
            if (!posonly_given && !(posonly_given = Ref::steal(PyList_New(0)))) {
                return false;
            }
            if (PyList_Append(posonly_given.get(), key) < 0) {
                return false;
            }
            continue;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.qualname,
                     key);
        return false;
    }
    if (posonly_given) {
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        Ref joined = sep ? Ref::steal(PyUnicode_Join(sep.get(), posonly_given.get())) : Ref();
        if (joined) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword "
                         "arguments: '%U'",
                         sig.qualname, joined.get());
        }
        return false;
    }
    int missing[kMaxParams * 2];
    for (const bool kwonly : {false, true}) {
        int count = 0;
        const int from = kwonly ? sig.npositional : 0;
        const int to = kwonly ? sig.nparams : sig.npositional;
        for (int i = from; i < to; ++i) {
            if (values[i] == nullptr && sig.defaults[i] == nullptr) {
                missing[count++] = i;
            }
        }
        if (count > 0) {
            raise_missing(sig, missing, count, kwonly);
            return false;
        }
    }
    for (int i = 0; i < sig.nparams; ++i) {
        if (values[i] == nullptr) {
            values[i] = sig.defaults[i];
        }
    }
    return true;
}

}  // namespace vm

// tesselvar_core/resolve.cpp: when a shortcut may stand for a lookup on
// self, and the exclusion rule.
#include "core.hpp"

#include "runtime/internals.hpp"

namespace tv {

Shared g;

bool
plain_access(PyTypeObject* tp) noexcept
{
    // The store's class answers attribute reads with object.__getattribute__
    // (TesselVarMain's __getattr__ only sees names that are not found), and
    // __dict__ is the instance-dict slot that TesselVarMain got from type().
    return (tp->tp_getattro == g.base->tp_getattro ||
            tp->tp_getattro == PyObject_GenericGetAttr) &&
           vm::cpy::type_lookup(tp, g.s_getattribute) == g.object_getattribute &&
           vm::cpy::type_lookup(tp, g.s_dunder_dict) == g.dict_descr;
}

Ref
instance_dict(PyObject* self) noexcept
{
    if (plain_access(Py_TYPE(self))) {
        return Ref::steal(PyObject_GenericGetDict(self, nullptr));
    }
    return Ref::steal(PyObject_GetAttr(self, g.s_dunder_dict));
}

int
resolves_to(PyObject* self, PyObject* name, PyObject* expected) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    if (!plain_access(tp) || vm::cpy::type_lookup(tp, name) != expected) {
        return 0;
    }
    // staticmethod.__init__ can swap the callable of a live staticmethod:
    // ask every time whether _skip's still holds var_main's function.
    if (expected == g.skip &&
        vm::cpy::staticmethod_callable(expected) != g.skip_fn) {
        return 0;
    }
    // `expected` is a plain function or a staticmethod: an instance entry
    // of the same name hides it.  With only exact str keys the probe runs
    // no code (a colliding key's __eq__ could change the class under us);
    // otherwise the caller takes the literal way.
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) {
        return -1;
    }
    if (!PyDict_CheckExact(d.get()) || !vm::cpy::dict_has_only_str_keys(d.get())) {
        return 0;
    }
    int hidden = PyDict_Contains(d.get(), name);
    return hidden < 0 ? -1 : !hidden;
}

bool
is_setting_name(PyObject* key) noexcept
{
    if (PyUnicode_GET_LENGTH(key) != 6) {
        return false;
    }
    for (PyObject* s : g.settings) {
        if (key == s) {
            return true;
        }
    }
    for (PyObject* s : g.settings) {
        if (PyUnicode_Compare(key, s) == 0) {
            return true;
        }
    }
    return false;
}

int
SkipRule::test(PyObject* key) noexcept
{
    if (PyUnicode_CheckExact(key)) {
        if (state_ == State::Unknown) {
            int own = resolves_to(self_, g.s_skip, g.skip);
            if (own < 0) {
                return -1;
            }
            state_ = own ? State::Own : State::Other;
        }
        if (state_ == State::Own) {
            return is_setting_name(key);
        }
    }
    // The literal rule runs Python code: decide afresh next time.
    state_ = State::Unknown;
    Ref skip = Ref::steal(PyObject_CallMethodNoArgs(self_, g.s_skip));
    if (!skip) {
        return -1;
    }
    return PySequence_Contains(skip.get(), key);
}

}  // namespace tv

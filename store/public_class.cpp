// store/public_class.cpp: what the public class's own add, keys() and get()
// do (see public_class.hpp).
#include "store/public_class.hpp"

#include "store/rules.hpp"
#include "store/setup.hpp"

namespace vm {

void
register_public_class(PyTypeObject* type, PyObject* add, PyObject* keys, PyObject* get,
                      inquiry truth, PyObject* (*make_store)(PyObject*) noexcept,
                      bool (*makes_plainly)(PyObject*) noexcept) noexcept
{
    PublicClass& pc = state().public_class;
    pc.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    pc.truth = truth;
    pc.make_store = make_store;
    pc.makes_plainly = makes_plainly;
    pc.add = Py_NewRef(add);
    pc.keys = Py_NewRef(keys);
    pc.get = Py_NewRef(get);
    // What the type records say of the public class was asked without it.
    for (TypeInfo& e : state().types) {
        e.tag = 0;
    }
}

Ref
add_variables(PyObject* self, PyObject* kwargs, PyThreadState* ts) noexcept
{
    return call_method(self, names().mv_add, {kwargs}, nullptr, ts);
}

int
has_variable(PyObject* store, PyObject* key) noexcept
{
    Ref d = instance_dict(store);
    if (!d) {
        return -1;
    }
    code_may_run();  // a key's __eq__, or a dict subclass's __contains__
    const int present = PyDict_CheckExact(d.get()) ? PyDict_Contains(d.get(), key)
                                                   : PySequence_Contains(d.get(), key);
    if (present <= 0) {
        return present;
    }
    d.reset();
    SkipRule rule(store);
    const int excluded = rule.test(key);
    return excluded < 0 ? -1 : !excluded;
}

int
find_variable(PyObject* store, PyObject* name, Ref& out) noexcept
{
    const int present = has_variable(store, name);
    if (present <= 0) {
        return present;
    }
    Ref d = instance_dict(store);
    out = d ? dict_item(d.get(), name) : Ref();
    return out ? 1 : -1;
}

Ref
get_variable(PyObject* store, PyObject* name, PyObject* fallback) noexcept
{
    Ref found;
    const int r = find_variable(store, name, found);
    return r == 0 ? Ref::borrow(fallback) : std::move(found);
}

Py_ssize_t
count_variables(PyObject* store) noexcept
{
    // With our own _skip, the variables are the entries but the settings
    // present; a probe each, and no code run.
    if (PlainDict d(store); d && resolve_in(store, d, names().skip).is(Def::skip)) {
        Py_ssize_t n = PyDict_GET_SIZE(d.get());
        for (PyObject* setting : names().settings) {
            n -= PyDict_Contains(d.get(), setting);
        }
        return n;
    }
    code_may_run();
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(store, names().keys));
    return keys ? PyObject_Size(keys.get()) : -1;
}

Step
try_step(Ref& current, PyObject* step) noexcept
{
    PyObject* cur = current.get();
    if (!runs_own_keys_and_get(Py_TYPE(cur))) {
        return Step::NotMine;
    }
    // An exact str in a plain dict, and our own _skip: the two calls are one
    // probe that runs no code.
    if (PyUnicode_CheckExact(step)) {
        PlainDict d(cur);
        if (d && resolve_in(cur, d, names().skip).is(Def::skip)) {
            if (is_setting_name(step)) {
                return Step::Absent;  // the exclusion rule leaves it out
            }
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(d.get(), step, &value) <= 0) {
                PyErr_Clear();  // str keys only: absent, never an error
                return Step::Absent;
            }
            current = Ref::steal(value);
            return Step::Found;
        }
    }
    const int present = has_variable(cur, step);
    if (present <= 0) {
        return present < 0 ? Step::Error : Step::Absent;
    }
    Ref next = get_variable(cur, step, Py_None);
    if (!next) {
        return Step::GetFailed;
    }
    current = std::move(next);
    return Step::Found;
}

}  // namespace vm

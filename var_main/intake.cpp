// var_main/intake.cpp: how values come into a store.
//
//   _set_dict       a dict becomes a nested store: a fresh one (create path)
//                   or merged into the one already there (merge path)
//   _set_list       list/set/tuple become lists at every level; dicts inside
//                   become nested stores; the top level may extend the list
//                   already stored under `key`
//   _mv_add         merges a dict of variables: dicts merge, sequences append
//   _mv_set         one variable, through setattr or the converting _set_attr
//   _mv_set_kwargs  setattr for each entry
//
// Every step re-reads self.__dict__: the factory, `add` and overridden methods
// run arbitrary code in between.  Nothing is rolled back after a failure.
#include "methods.hpp"
#include "store.hpp"

namespace vm {

namespace {

// `self._i_c_u()`: a new, empty, set-up nested store.
Ref
make_nested(PyObject* self) noexcept
{
    return call_method(self, names.i_c_u, {});
}

// `nested.add(**entries)` with a fresh dict of keywords.
bool
fill_nested(PyObject* nested, PyObject* entries) noexcept
{
    Ref add = Ref::steal(PyObject_GetAttr(nested, names.add));
    if (!add) {
        return false;
    }
    return static_cast<bool>(call_with_entries(add.get(), entries));
}

// Appends to the target list: directly for an exact list, through `append`
// for a subclass.
bool
append_to(PyObject* target, PyObject* item) noexcept
{
    if (PyList_CheckExact(target)) {
        return PyList_Append(target, item) == 0;
    }
    return static_cast<bool>(Ref::steal(
        PyObject_CallMethodOneArg(target, names.append, item)));
}

}  // namespace

PyObject*
set_dict(Call& call, Any self, Str key, Dict value, Any new_)
{
    Ref current;
    {
        Ref d = instance_dict(self);
        if (!d || !(current = dict_get(d.get(), key.p))) {
            return call.fail(237);
        }
    }
    int merge = truth(current.get());
    if (merge < 0) {
        return call.fail(238);
    }
    if (merge) {
        int fresh = truth(new_);
        if (fresh < 0) {
            return call.fail(238);
        }
        merge = !fresh;
    }

    if (merge) {
        // A dict stored as given (inherit on) is merged into in place: it has
        // no `add`.  Anything else gets `add`, even a plain dict that the
        // factory made to replace what was there.
        const bool was_dict = PyDict_Check(current.get());
        if (!was_dict) {
            int nested = is_nested_store(current.get());
            if (nested < 0) {
                return call.fail(239);
            }
            if (!nested) {
                // Not a store we can merge into: replace it, straight into
                // __dict__ (no attribute assignment).
                Ref replacement = make_nested(self);
                if (!replacement) {
                    return call.fail(240);
                }
                Ref d = instance_dict(self);
                if (!d || dict_store(d.get(), key.p, replacement.get()) < 0) {
                    return call.fail(240);
                }
            }
        }
        current.reset();
        Ref d = instance_dict(self);
        Ref target;
        if (!d || !(target = dict_item(d.get(), key.p))) {
            return call.fail(241);
        }
        if (was_dict && PyDict_Check(target.get())) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(
                target.get(), names.update, value.p));
            if (!r) {
                return call.fail(241);
            }
        }
        else if (!fill_nested(target.get(), value.p)) {
            return call.fail(241);
        }
        return new_none();
    }

    Ref nested = make_nested(self);
    if (!nested) {
        return call.fail(243);
    }
    if (!call_method(self, names.mv_set, {key.p, nested.get()})) {
        return call.fail(244);
    }
    if (!fill_nested(nested.get(), value.p)) {
        return call.fail(245);
    }
    return new_none();
}

PyObject*
set_list(Call& call, Any self, Any value, StrOrNone key)
{
    Ref target;
    if (key.p != Py_None && PyUnicode_GET_LENGTH(key.p) > 0) {
        Ref d = instance_dict(self);
        if (!d) {
            return call.fail(255);
        }
        Ref current = dict_get(d.get(), key.p);
        if (!current) {
            return call.fail(255);
        }
        if (PyList_Check(current.get())) {
            current.reset();
            Ref d2 = instance_dict(self);
            if (!d2 || !(target = dict_item(d2.get(), key.p))) {
                return call.fail(256);
            }
        }
    }
    if (!target) {
        target = Ref::steal(PyList_New(0));
        if (!target) {
            return call.fail(258);
        }
    }

    // Extending a list with itself walks a snapshot, so the call ends.
    Ref source = Ref::borrow(value);
    if (value == target.get()) {
        source = Ref::steal(PySequence_List(value));
        if (!source) {
            return call.fail(259);
        }
    }
    Ref it = Ref::steal(PyObject_GetIter(source.get()));
    if (!it) {
        return call.fail(259);
    }
    for (;;) {
        Ref element = Ref::steal(PyIter_Next(it.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                return call.fail(259);
            }
            break;
        }
        PyObject* el = element.get();
        if (PyDict_Check(el)) {
            Ref nested = make_nested(self);
            if (!nested) {
                return call.fail(261);
            }
            if (!fill_nested(nested.get(), el)) {
                return call.fail(262);
            }
            if (!append_to(target.get(), nested.get())) {
                return call.fail(263);
            }
        }
        else if (is_sequence(el)) {
            Ref converted = call_method(self, names.set_list, {el});
            if (!converted || !append_to(target.get(), converted.get())) {
                return call.fail(265);
            }
        }
        else if (!append_to(target.get(), el)) {
            return call.fail(267);
        }
    }
    if (!result_ok(target.get(), &PyList_Type)) {
        return call.fail(268);
    }
    return target.release();
}

PyObject*
mv_add(Call& call, Any self, Dict kwargs)
{
    if (PyDict_GET_SIZE(kwargs.p) == 0) {
        return new_none();
    }
    DictWalk walk(kwargs.p);
    Ref key, value;
    for (;;) {
        int more = walk.next(key, value);
        if (more < 0) {
            return call.fail(70);
        }
        if (more == 0) {
            break;
        }
        PyObject* v = value.get();
        if (PyDict_Check(v)) {
            if (!call_method(self, names.set_dict, {key.get(), v})) {
                return call.fail(72);
            }
        }
        else if (is_sequence(v)) {
            Ref result = call_method(self, names.set_list, {v, key.get()});
            if (!result) {
                return call.fail(74);
            }
            Ref d = instance_dict(self);
            if (!d || dict_store(d.get(), key.get(), result.get()) < 0) {
                return call.fail(74);
            }
        }
        else if (!call_method(self, names.mv_set, {key.get(), v})) {
            return call.fail(76);
        }
    }
    return new_none();
}

PyObject*
mv_set(Call& call, Any self, Str name, Any value, Any inherit)
{
    int convert = truth(inherit);
    if (convert < 0) {
        return call.fail(288);
    }
    if (convert) {
        if (!call_method(self, names.set_attr, {name.p, value})) {
            return call.fail(289);
        }
    }
    else if (PyObject_SetAttr(self, name.p, value) < 0) {
        return call.fail(291);
    }
    return new_none();
}

PyObject*
mv_set_kwargs(Call& call, Any self, Dict kwargs)
{
    if (PyDict_GET_SIZE(kwargs.p) == 0) {
        return new_none();
    }
    DictWalk walk(kwargs.p);
    Ref key, value;
    for (;;) {
        int more = walk.next(key, value);
        if (more < 0) {
            return call.fail(300);
        }
        if (more == 0) {
            break;
        }
        if (PyObject_SetAttr(self, key.get(), value.get()) < 0) {
            return call.fail(301);
        }
    }
    return new_none();
}

}  // namespace vm

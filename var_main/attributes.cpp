// var_main/attributes.cpp: the attribute protocol.
//
//   store.name          ordinary lookup; when it fails, __getattr__ answers
//                       with the name itself or None, by the reprint setting
//   store.name = value  __setattr__: stored as given when the inherit setting
//                       is true, otherwise handed to _set_attr, which turns
//                       dicts into nested stores and list/set/tuple into lists
//
// A store that has not been set up has no reprint setting: reading it would
// come back to __getattr__ for "_g_n_r", again and again.  A per-thread guard
// notices that re-entry and lets the lookup fail, so a missing name on a bare
// store raises AttributeError like any plain object.
#include "dispatch.hpp"
#include "runtime/depth.hpp"
#include "lines.hpp"
#include "methods.hpp"
#include "store.hpp"

namespace vm {

namespace {

// __getattr__: `return name if self._g_n_r else None`, one statement.
constexpr Statement kAnswer = at(Def::getattr_hook, 325);
// __setattr__
constexpr Statement kReadInherit = at(Def::setattr_hook, 334);   // if self._g_n_i:
constexpr Statement kStoreAsGiven = at(Def::setattr_hook, 335);  // self.__dict__[name] = value
constexpr Statement kCallSetAttr = at(Def::setattr_hook, 337);   // self._set_attr(name, value)
// _set_attr
constexpr Statement kSetDict = at(Def::set_attr, 311);     // self._set_dict(name, value, new=True)
constexpr Statement kSetList = at(Def::set_attr, 313);     // converted = self._set_list(value)
constexpr Statement kStoreList = at(Def::set_attr, 314);   // self.__dict__[name] = converted
constexpr Statement kStoreValue = at(Def::set_attr, 316);  // self.__dict__[name] = value

// The object whose reprint setting this thread is reading right now.
thread_local PyObject* t_reading_reprint = nullptr;

class ReprintGuard {
public:
    // Inactive (nullptr) for an object that is not a store.
    explicit ReprintGuard(PyObject* self) noexcept
        : saved_(t_reading_reprint)
    {
        if (self != nullptr) {
            t_reading_reprint = self;
        }
    }
    ~ReprintGuard() { t_reading_reprint = saved_; }
    ReprintGuard(const ReprintGuard&) = delete;
    ReprintGuard& operator=(const ReprintGuard&) = delete;

private:
    PyObject* saved_;
};

void
raise_no_attribute(PyObject* self, PyObject* name) noexcept
{
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
    PyObject* exc = PyErr_GetRaisedException();
    // Like the interpreter's own error: name and obj feed its suggestions.
    if (PyObject_SetAttrString(exc, "name", name) < 0 ||
        PyObject_SetAttrString(exc, "obj", self) < 0) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

// Stores `value` under `name` in self.__dict__, bypassing __setattr__.
bool
store_item(PyObject* self, PyObject* name, PyObject* value) noexcept
{
    Ref d = instance_dict(self);
    return d && dict_store(d.get(), name, value) == 0;
}

}  // namespace

PyObject*
getattr_hook(Call& call, Any self, Str name) noexcept
{
    // Found in the instance dict by plain lookup: ordinary lookup finds it
    // there too, and nothing can be re-entering.
    Ref reprint = own_setting(self, names.g_n_r);
    if (!reprint && !PyErr_Occurred()) {
        // A store never set up has no reprint setting: its own read of it
        // would come back here without end, and its missing name is the
        // one asked for.  Anything that is not a store at all reads the
        // setting like the statement says, and fails like it.
        const bool store = is_store_instance(self);
        if (store && t_reading_reprint == self &&
            PyUnicode_Compare(name.p, names.g_n_r) == 0) {
            // Our own read of the reprint setting found nothing.
            raise_no_attribute(self, name.p);
            return call.fail(kAnswer);
        }
        ReprintGuard guard(store ? self : nullptr);
        reprint = Ref::steal(PyObject_GetAttr(self, names.g_n_r));
        if (!reprint && store && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_no_attribute(self, name.p);
        }
    }
    if (!reprint) {
        return call.fail(kAnswer);
    }
    int on = truth(reprint.get());
    if (on < 0) {
        return call.fail(kAnswer);
    }
    return Py_NewRef(on ? name.p : Py_None);
}

PyObject*
setattr_hook(Call& call, Any self, Str name, Any value) noexcept
{
    // The common assignment in one resolution: the setting read from the
    // instance dict (the type has nothing of that name), an exact bool, and
    // for a plain value our own _set_attr, not hidden.  With only str keys
    // in the dict nothing on the way runs code.
    if (Ref d = plain_dict(self)) {
        PyTypeObject* tp = Py_TYPE(self);
        PyObject* setting = type_attr(tp, names.g_n_i) == nullptr
                                ? PyDict_GetItemWithError(d.get(), names.g_n_i)
                                : nullptr;
        if (setting == Py_True) {
            if (PyDict_SetItem(d.get(), name.p, value) < 0) {
                return call.fail(kStoreAsGiven);
            }
            return new_none();
        }
        if (setting == Py_False && !PyDict_Check(value) && !is_sequence(value) &&
            is_own(type_attr(tp, names.set_attr), &Adapt<&set_attr>::run) &&
            hidden_in(d.get(), names.set_attr) == 0) {
            bool stored;
            {
                Depth depth(call.thread());
                if (!depth.enter()) {
                    return call.fail(kCallSetAttr);
                }
                stored = PyDict_SetItem(d.get(), name.p, value) == 0;
            }
            if (!stored) {
                add_traceback("var_main.TesselVarMain._set_attr", kStoreValue.line);
                return call.fail(kCallSetAttr);
            }
            return new_none();
        }
    }
    Ref inherit = own_setting(self, names.g_n_i);
    if (!inherit && !PyErr_Occurred()) {
        inherit = Ref::steal(PyObject_GetAttr(self, names.g_n_i));
    }
    if (!inherit) {
        return call.fail(kReadInherit);
    }
    int on = truth(inherit.get());
    if (on < 0) {
        return call.fail(kReadInherit);
    }
    if (on) {
        if (!store_item(self, name.p, value)) {
            return call.fail(kStoreAsGiven);
        }
        return new_none();
    }
    if (!PyDict_Check(value) && !is_sequence(value)) {
        // A plain value and our own _set_attr: that call would only store
        // the value, so store it here, with the same recursion guard and,
        // on failure, the same traceback entries.
        int bind = 0;
        PyObject* fn = own_method(self, names.set_attr, &bind);
        if (bind < 0) {
            return call.fail(kCallSetAttr);
        }
        if (is_own(fn, &Adapt<&set_attr>::run)) {
            bool stored;
            {
                Depth depth(call.thread());
                if (!depth.enter()) {
                    return call.fail(kCallSetAttr);
                }
                stored = store_item(self, name.p, value);
            }
            if (!stored) {
                add_traceback("var_main.TesselVarMain._set_attr", kStoreValue.line);
                return call.fail(kCallSetAttr);
            }
            return new_none();
        }
    }
    Ref r = call_method(self, names.set_attr, {name.p, value});
    if (!r) {
        return call.fail(kCallSetAttr);
    }
    return new_none();
}

PyObject*
set_attr(Call& call, Any self, Str name, Any value) noexcept
{
    if (PyDict_Check(value)) {
        Ref r = call_method(self, names.set_dict, {name.p, value, Py_True},
                            names.kw_new);
        if (!r) {
            return call.fail(kSetDict);
        }
        return new_none();
    }
    if (is_sequence(value)) {
        Ref converted = call_method(self, names.set_list, {value});
        if (!converted) {
            return call.fail(kSetList);
        }
        if (!store_item(self, name.p, converted.get())) {
            return call.fail(kStoreList);
        }
        return new_none();
    }
    if (!store_item(self, name.p, value)) {
        return call.fail(kStoreValue);
    }
    return new_none();
}

}  // namespace vm

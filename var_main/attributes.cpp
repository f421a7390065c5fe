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
#include "methods.hpp"
#include "store/lines.hpp"
#include "store/rules.hpp"

namespace vm {

namespace {

// __getattr__: `return name if self._g_n_r else None`, one statement.
constexpr Statement kAnswer = at(Def::getattr_hook, 325);
// __setattr__
constexpr Statement kReadInherit = at(Def::setattr_hook, 334);
constexpr Statement kStoreAsGiven = at(Def::setattr_hook, 335);
constexpr Statement kCallSetAttr = at(Def::setattr_hook, 337);
// _set_attr
constexpr Statement kSetDict = at(Def::set_attr, 311);
constexpr Statement kSetList = at(Def::set_attr, 313);
constexpr Statement kStoreList = at(Def::set_attr, 314);
constexpr Statement kStoreValue = at(Def::set_attr, 316);

// The object whose reprint setting this thread is reading right now.
thread_local PyObject* t_reading_reprint = nullptr;

class ReprintGuard {
public:
    // Inactive (nullptr) for an object that is not a store.
    explicit ReprintGuard(PyObject* self) noexcept : saved_(t_reading_reprint)
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
    Ref reprint = read_setting(self, names().g_n_r);
    if (!reprint) {
        // A store never set up has no reprint setting: its own read of it
        // would come back here without end, and its missing name is the
        // one asked for.  Anything that is not a store at all reads the
        // setting like the statement says, and fails like it.
        const bool store = is_store_instance(self);
        if (store && t_reading_reprint == self && PyUnicode_Compare(name.p, names().g_n_r) == 0) {
            // Our own read of the reprint setting found nothing.
            raise_no_attribute(self, name.p);
            return call.fail(kAnswer);
        }
        ReprintGuard guard(store ? self : nullptr);
        reprint = Ref::steal(PyObject_GetAttr(self, names().g_n_r));
        if (!reprint && store && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_no_attribute(self, name.p);
        }
    }
    if (!reprint) {
        return call.fail(kAnswer);
    }
    const int on = truth(reprint.get());
    if (on < 0) {
        return call.fail(kAnswer);
    }
    return Py_NewRef(on ? name.p : Py_None);
}

namespace {

// __setattr__'s body, given the store's PlainDict when the caller has it
// (setattr() of ours, nothing run since it was read).
PyObject*
assign(Call& call, PyObject* self, PyObject* name, PyObject* value, PlainDict&& d) noexcept
{
    // The common assignment: the setting read from a plain dict (the type
    // has nothing of that name), an exact bool.  With only str keys in the
    // dict nothing on the way runs code.
    if (!d) {
        d = PlainDict(self);
    }
    if (d) {
        PyObject* setting = type_attr(Py_TYPE(self), names().g_n_i) == nullptr
                                ? PyDict_GetItemWithError(d.get(), names().g_n_i)
                                : nullptr;
        if (setting == Py_True) {
            if (PyDict_SetItem(d.get(), name, value) < 0) {
                return call.fail(kStoreAsGiven);
            }
            return new_none();
        }
        if (setting == Py_False) {
            if (!call_set_attr(self, name, value, call.thread(), std::move(d))) {
                return call.fail(kCallSetAttr);
            }
            return new_none();
        }
    }
    Ref inherit = read_setting(self, names().g_n_i);
    if (!inherit) {
        code_may_run();
        inherit = Ref::steal(PyObject_GetAttr(self, names().g_n_i));
    }
    if (!inherit) {
        return call.fail(kReadInherit);
    }
    const int on = truth(inherit.get());
    if (on < 0) {
        return call.fail(kReadInherit);
    }
    if (on) {
        if (!store_item(self, name, value)) {
            return call.fail(kStoreAsGiven);
        }
        return new_none();
    }
    if (!call_set_attr(self, name, value, call.thread())) {
        return call.fail(kCallSetAttr);
    }
    return new_none();
}

}  // namespace

PyObject*
setattr_hook(Call& call, Any self, Str name, Any value) noexcept
{
    return assign(call, self, name.p, value, PlainDict());
}

PyObject*
set_attr(Call& call, Any self, Str name, Any value) noexcept
{
    if (PyDict_Check(value)) {
        Ref r = call_method(self, names().set_dict, {name.p, value, Py_True}, names().kw_new,
                            call.thread());
        if (!r) {
            return call.fail(kSetDict);
        }
        return new_none();
    }
    if (is_sequence(value)) {
        Ref converted = call_method(self, names().set_list, {value}, nullptr, call.thread());
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

bool
call_set_attr(PyObject* self, PyObject* name, PyObject* value, PyThreadState* ts,
              PlainDict&& known) noexcept
{
    // While `self._set_attr` is our method, its body runs in its own level,
    // without the call's argument matching (`name` is an exact str).
    Resolved found =
        known ? resolve_in(self, known, names().set_attr) : resolve(self, names().set_attr);
    if (!found.is(Def::set_attr)) {
        known.reset();
        return static_cast<bool>(
            std::move(found).call(self, names().set_attr, {name, value}, nullptr, ts));
    }
    PyObject* fn = found.function();
    if (known && !PyDict_Check(value) && !is_sequence(value)) {
        // A plain value, and the store's dict at hand with nothing run since
        // it was read: the body would only store the value there.
        return static_cast<bool>(Ref::steal(run_as(
            fn,
            [&](Call& call) {
                return PyDict_SetItem(known.get(), name, value) < 0 ? call.fail(kStoreValue)
                                                                    : new_none();
            },
            ts)));
    }
    known.reset();  // the body may let the store drop its dict
    return static_cast<bool>(Ref::steal(run_as(
        fn, [&](Call& call) { return set_attr(call, self, Str{name}, value); }, ts)));
}

int
set_attribute(PyObject* self, PyObject* name, PyObject* value, PyThreadState* ts,
              PlainDict&& known) noexcept
{
    // setattr(self, name, value) lands in our __setattr__ (the type keeps
    // the generic slot, and the slot's lookup finds it): run its body
    // without the slot's lookup and argument passing, with the name
    // interned as setattr interns it.
    Resolved found = PyUnicode_CheckExact(name) ? resolve_setattr(Py_TYPE(self))
                                                : Resolved(nullptr, Via::Lookup);
    if (!found.is(Def::setattr_hook)) {
        known.reset();
        code_may_run();
        return PyObject_SetAttr(self, name, value);
    }
    PyObject* fn = found.function();
    Ref hold = Ref::borrow(fn);
    Ref interned = Ref::steal(cpy::interned_name(state().interp, name));
    Ref r = Ref::steal(run_as(
        fn, [&](Call& call) { return assign(call, self, interned.get(), value, std::move(known)); },
        ts));
    return r ? 0 : -1;
}

}  // namespace vm

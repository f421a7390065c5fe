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
#include "store/lines.hpp"
#include "store/public_class.hpp"
#include "store/rules.hpp"
#include "store/walks.hpp"

namespace vm {

namespace {

// The statements that tracebacks point at (their text: store/methods.txt).
// _set_dict
constexpr Statement kReadCurrent = at(Def::set_dict, 237);
constexpr Statement kTestCurrent = at(Def::set_dict, 238);
constexpr Statement kTestStore = at(Def::set_dict, 239);
constexpr Statement kReplace = at(Def::set_dict, 240);
constexpr Statement kMergeAdd = at(Def::set_dict, 241);
constexpr Statement kMakeNested = at(Def::set_dict, 243);
constexpr Statement kPlaceNested = at(Def::set_dict, 244);
constexpr Statement kFillNested = at(Def::set_dict, 245);
// _set_list
constexpr Statement kReadTarget = at(Def::set_list, 255);
constexpr Statement kTakeTarget = at(Def::set_list, 256);
constexpr Statement kNewTarget = at(Def::set_list, 258);
constexpr Statement kEachElement = at(Def::set_list, 259);
constexpr Statement kElementStore = at(Def::set_list, 261);
constexpr Statement kElementAdd = at(Def::set_list, 262);
constexpr Statement kAppendStore = at(Def::set_list, 263);
constexpr Statement kAppendList = at(Def::set_list, 265);
constexpr Statement kAppendElement = at(Def::set_list, 267);
constexpr Statement kReturnTarget = at(Def::set_list, 268);
// _mv_add
constexpr Statement kEachEntry = at(Def::mv_add, 70);
constexpr Statement kAddDict = at(Def::mv_add, 72);
constexpr Statement kAddList = at(Def::mv_add, 74);
constexpr Statement kAddValue = at(Def::mv_add, 76);
// _mv_set
constexpr Statement kTestInherit = at(Def::mv_set, 288);
constexpr Statement kConvert = at(Def::mv_set, 289);
constexpr Statement kAssign = at(Def::mv_set, 291);
// _mv_set_kwargs
constexpr Statement kEachKwarg = at(Def::mv_set_kwargs, 300);
constexpr Statement kAssignKwarg = at(Def::mv_set_kwargs, 301);

// `self._i_c_u()`: a new, empty, set-up nested store.
Ref
make_nested(PyObject* self) noexcept
{
    // The factory is a variable of the store: while the type has nothing of
    // that name, `self._i_c_u` is the dict's entry, read by one probe.
    if (PlainDict d(self); d && type_attr(Py_TYPE(self), names().i_c_u) == nullptr) {
        PyObject* factory = nullptr;
        if (PyDict_GetItemRef(d.get(), names().i_c_u, &factory) > 0) {
            Ref held = Ref::steal(factory);
            d.reset();
            code_may_run();
            return Ref::steal(PyObject_CallNoArgs(held.get()));
        }
    }
    code_may_run();
    return Ref::steal(PyObject_CallMethodNoArgs(self, names().i_c_u));
}

// `nested.add(**entries)`.
bool
fill_nested(PyObject* nested, PyObject* entries, PyThreadState* ts) noexcept
{
    const Tried tried = try_add(nested, entries, ts);
    if (tried != Tried::NotMine) {
        return tried == Tried::Done;
    }
    // `nested.add` is read before the entries are unpacked: a
    // __getattribute__ of the nested class runs first.
    code_may_run();
    Ref add = Ref::steal(PyObject_GetAttr(nested, names().add));
    if (!add) {
        return false;
    }
    // A subclass of dict is unpacked as `**` unpacks it: through its own
    // keys() and __getitem__ when it has them, and failures worded as the
    // call's.
    Ref fresh = PyDict_CheckExact(entries) ? Ref::steal(PyDict_Copy(entries))
                                           : cpy::kwargs_of(add.get(), entries);
    Ref no_args = Ref::steal(PyTuple_New(0));
    return fresh && no_args &&
           static_cast<bool>(Ref::steal(PyObject_Call(add.get(), no_args.get(), fresh.get())));
}

// One entry of _mv_add: dicts merge, sequences append, the rest is set.
// False after call.fail().
bool
add_entry(Call& call, PyObject* self, PyObject* key, PyObject* v) noexcept
{
    PyThreadState* ts = call.thread();
    if (PyDict_Check(v)) {
        if (!call_method(self, names().set_dict, {key, v}, nullptr, ts)) {
            call.fail(kAddDict);
            return false;
        }
        return true;
    }
    if (is_sequence(v)) {
        Ref result = call_method(self, names().set_list, {v, key}, nullptr, ts);
        if (!result) {
            call.fail(kAddList);
            return false;
        }
        Ref d = instance_dict(self);
        if (!d || dict_store(d.get(), key, result.get()) < 0) {
            call.fail(kAddList);
            return false;
        }
        return true;
    }
    // The store's dict read here serves each level of the assignment below,
    // as long as nothing runs code in between.
    if (!call_mv_set(self, key, v, ts, PlainDict(self))) {
        call.fail(kAddValue);
        return false;
    }
    return true;
}

// Appends to the target list: directly for an exact list, through `append`
// for a subclass.
bool
append_to(PyObject* target, PyObject* item) noexcept
{
    if (PyList_CheckExact(target)) {
        return PyList_Append(target, item) == 0;
    }
    return static_cast<bool>(Ref::steal(PyObject_CallMethodOneArg(target, names().append, item)));
}

}  // namespace

PyObject*
set_dict(Call& call, Any self, Str key, Dict value, Any new_) noexcept
{
    // Read from a plain dict with only str keys, the entry can be read again
    // only after code has run: while none can (the tests below run none),
    // the second read (kMergeAdd) is the object of the first.
    Ref current;
    bool reread = true;
    {
        PlainDict plain(self);
        reread = !plain;
        Ref d = reread ? instance_dict(self) : Ref::borrow(plain.get());
        if (!d || !(current = dict_get(d.get(), key.p))) {
            return call.fail(kReadCurrent);
        }
    }
    reread = reread || !truth_runs_no_code(current.get()) || !truth_runs_no_code(new_);
    int merge = truth(current.get());
    if (merge < 0) {
        return call.fail(kTestCurrent);
    }
    if (merge) {
        int fresh = truth(new_);
        if (fresh < 0) {
            return call.fail(kTestCurrent);
        }
        merge = !fresh;
    }

    if (merge) {
        // A dict stored as given (inherit on) is merged into in place: it has
        // no `add`.  Anything else gets `add`, even a plain dict that the
        // factory made to replace what was there.
        const bool was_dict = PyDict_Check(current.get());
        if (!was_dict) {
            reread = reread || !nested_store_test_runs_no_code(Py_TYPE(current.get()));
            int nested = is_nested_store(current.get());
            if (nested < 0) {
                return call.fail(kTestStore);
            }
            if (!nested) {
                reread = true;
                // Not a store we can merge into: replace it, straight into
                // __dict__ (no attribute assignment).
                Ref replacement = make_nested(self);
                if (!replacement) {
                    return call.fail(kReplace);
                }
                Ref d = instance_dict(self);
                if (!d || dict_store(d.get(), key.p, replacement.get()) < 0) {
                    return call.fail(kReplace);
                }
            }
        }
        Ref target;
        if (!reread) {
            target = std::move(current);
        }
        else {
            current.reset();
            Ref d = instance_dict(self);
            if (!d || !(target = dict_item(d.get(), key.p))) {
                return call.fail(kMergeAdd);
            }
        }
        if (was_dict && PyDict_Check(target.get())) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(target.get(), names().update, value.p));
            if (!r) {
                return call.fail(kMergeAdd);
            }
        }
        else if (!fill_nested(target.get(), value.p, call.thread())) {
            return call.fail(kMergeAdd);
        }
        return new_none();
    }

    Ref nested = make_nested(self);
    if (!nested) {
        return call.fail(kMakeNested);
    }
    if (!call_mv_set(self, key.p, nested.get(), call.thread())) {
        return call.fail(kPlaceNested);
    }
    if (!fill_nested(nested.get(), value.p, call.thread())) {
        return call.fail(kFillNested);
    }
    return new_none();
}

PyObject*
set_list(Call& call, Any self, Any value, StrOrNone key) noexcept
{
    Ref target;
    if (key.p != Py_None && PyUnicode_GET_LENGTH(key.p) > 0) {
        // As in _set_dict: from a plain dict with only str keys, and with no
        // code run in between, the second read is the object of the first.
        PlainDict plain(self);
        const bool reread = !plain;
        Ref d = reread ? instance_dict(self) : Ref::borrow(plain.get());
        if (!d) {
            return call.fail(kReadTarget);
        }
        Ref current = dict_get(d.get(), key.p);
        if (!current) {
            return call.fail(kReadTarget);
        }
        if (PyList_Check(current.get()) && !reread) {
            target = std::move(current);
        }
        else if (PyList_Check(current.get())) {
            current.reset();
            Ref d2 = instance_dict(self);
            if (!d2 || !(target = dict_item(d2.get(), key.p))) {
                return call.fail(kTakeTarget);
            }
        }
    }
    if (!target) {
        target = Ref::steal(PyList_New(0));
        if (!target) {
            return call.fail(kNewTarget);
        }
    }

    // Extending a list with itself walks a snapshot, so the call ends.
    Ref source = Ref::borrow(value);
    if (value == target.get()) {
        source = Ref::steal(PySequence_List(value));
        if (!source) {
            return call.fail(kEachElement);
        }
    }
    Iteration elements(source.get());
    for (Ref& element : elements) {
        PyObject* el = element.get();
        if (PyDict_Check(el)) {
            Ref nested = make_nested(self);
            if (!nested) {
                return call.fail(kElementStore);
            }
            if (!fill_nested(nested.get(), el, call.thread())) {
                return call.fail(kElementAdd);
            }
            if (!append_to(target.get(), nested.get())) {
                return call.fail(kAppendStore);
            }
        }
        else if (is_sequence(el)) {
            Ref converted = call_method(self, names().set_list, {el}, nullptr, call.thread());
            if (!converted || !append_to(target.get(), converted.get())) {
                return call.fail(kAppendList);
            }
        }
        else if (!append_to(target.get(), el)) {
            return call.fail(kAppendElement);
        }
    }
    if (!elements.ok()) {
        return call.fail(kEachElement);
    }
    if (!result_ok(target.get(), &PyList_Type)) {
        return call.fail(kReturnTarget);
    }
    return target.release();
}

PyObject*
mv_add(Call& call, Any self, Dict kwargs) noexcept
{
    if (PyDict_GET_SIZE(kwargs.p) == 0) {
        return new_none();
    }
    DictItems items(kwargs.p);
    for (auto& [key, value] : items) {
        if (!add_entry(call, self, key.get(), value.get())) {
            return nullptr;
        }
    }
    if (!items.ok()) {
        return call.fail(kEachEntry);
    }
    return new_none();
}

namespace {

// _mv_set's body, given the store's PlainDict when the caller has it.
PyObject*
set_variable(Call& call, PyObject* self, PyObject* name, PyObject* value, PyObject* inherit,
             PlainDict&& known) noexcept
{
    const int convert = truth(inherit);
    if (convert < 0) {
        return call.fail(kTestInherit);
    }
    if (convert) {
        if (!call_set_attr(self, name, value, call.thread(), std::move(known))) {
            return call.fail(kConvert);
        }
    }
    else if (set_attribute(self, name, value, call.thread(), std::move(known)) < 0) {
        return call.fail(kAssign);
    }
    return new_none();
}

}  // namespace

PyObject*
mv_set(Call& call, Any self, Str name, Any value, Any inherit) noexcept
{
    return set_variable(call, self, name.p, value, inherit, PlainDict());
}

bool
call_mv_set(PyObject* self, PyObject* key, PyObject* value, PyThreadState* ts,
            PlainDict&& known) noexcept
{
    Resolved found =
        known ? resolve_in(self, known, names().mv_set) : resolve(self, names().mv_set);
    if (found.is(Def::mv_set) && PyUnicode_CheckExact(key)) {
        PyObject* fn = found.function();
        return static_cast<bool>(Ref::steal(run_as(
            fn,
            [&](Call& call) {
                return set_variable(call, self, key, value, Py_False, std::move(known));
            },
            ts)));
    }
    known.reset();
    return static_cast<bool>(
        std::move(found).call(self, names().mv_set, {key, value}, nullptr, ts));
}

PyObject*
mv_set_kwargs(Call& call, Any self, Dict kwargs) noexcept
{
    DictItems items(kwargs.p);
    for (auto& [key, value] : items) {
        if (set_attribute(self, key.get(), value.get(), call.thread()) < 0) {
            return call.fail(kAssignKwarg);
        }
    }
    if (!items.ok()) {
        return call.fail(kEachKwarg);
    }
    return new_none();
}

}  // namespace vm

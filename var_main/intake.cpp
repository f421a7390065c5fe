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
#include "lines.hpp"
#include "dispatch.hpp"
#include "methods.hpp"
#include "partner.hpp"
#include "runtime/depth.hpp"
#include "runtime/function.hpp"
#include "runtime/internals.hpp"
#include "store.hpp"

namespace vm {

namespace {

// The statements that tracebacks point at.
// _set_dict
constexpr Statement kReadCurrent = at(Def::set_dict, 237);   // current = self.__dict__.get(key)
constexpr Statement kTestCurrent = at(Def::set_dict, 238);   // if current and not new:
constexpr Statement kTestStore = at(Def::set_dict, 239);     // if not a dict and not a store:
constexpr Statement kReplace = at(Def::set_dict, 240);       // self.__dict__[key] = self._i_c_u()
constexpr Statement kMergeAdd = at(Def::set_dict, 241);      // self.__dict__[key].add(**value)
constexpr Statement kMakeNested = at(Def::set_dict, 243);    // nested = self._i_c_u()
constexpr Statement kPlaceNested = at(Def::set_dict, 244);   // self._mv_set(key, nested)
constexpr Statement kFillNested = at(Def::set_dict, 245);    // nested.add(**value)
// _set_list
constexpr Statement kReadTarget = at(Def::set_list, 255);    // if key and isinstance(self.__dict__.get(key), list):
constexpr Statement kTakeTarget = at(Def::set_list, 256);    //     target = self.__dict__[key]
constexpr Statement kNewTarget = at(Def::set_list, 258);     //     target = []
constexpr Statement kEachElement = at(Def::set_list, 259);   // for element in value:
constexpr Statement kElementStore = at(Def::set_list, 261);  //     nested = self._i_c_u()
constexpr Statement kElementAdd = at(Def::set_list, 262);    //     nested.add(**element)
constexpr Statement kAppendStore = at(Def::set_list, 263);   //     target.append(nested)
constexpr Statement kAppendList = at(Def::set_list, 265);    //     target.append(self._set_list(element))
constexpr Statement kAppendElement = at(Def::set_list, 267); //     target.append(element)
constexpr Statement kReturnTarget = at(Def::set_list, 268);  // return target
// _mv_add
constexpr Statement kEachEntry = at(Def::mv_add, 70);        // for key, value in kwargs.items():
constexpr Statement kAddDict = at(Def::mv_add, 72);          //     self._set_dict(key, value)
constexpr Statement kAddList = at(Def::mv_add, 74);          //     self.__dict__[key] = self._set_list(value, key)
constexpr Statement kAddValue = at(Def::mv_add, 76);         //     self._mv_set(key, value)
// _mv_set
constexpr Statement kTestInherit = at(Def::mv_set, 288);     // if inherit:
constexpr Statement kConvert = at(Def::mv_set, 289);         //     self._set_attr(name, value)
constexpr Statement kAssign = at(Def::mv_set, 291);          //     setattr(self, name, value)
// _mv_set_kwargs
constexpr Statement kEachKwarg = at(Def::mv_set_kwargs, 300);   // for key, value in kwargs.items():
constexpr Statement kAssignKwarg = at(Def::mv_set_kwargs, 301); //     setattr(self, key, value)


// What `self._mv_set(key, value)` runs for a plain value, when each step is
// ours: _mv_set's setattr(), our __setattr__ through the generic slot, and
// with the inherit setting off our _set_attr, none hidden by a variable.
// Each of those calls is a level, entered here in turn, and a failure
// leaves the traceback entries the calls would have left.
constexpr Statement kSetattrAsGiven = at(Def::setattr_hook, 335);  // self.__dict__[name] = value
constexpr Statement kSetattrCalls = at(Def::setattr_hook, 337);    // self._set_attr(name, value)
constexpr Statement kSetAttrStores = at(Def::set_attr, 316);       // self.__dict__[name] = value

// What store_plain found out about a store, kept over the entries of one
// walk.  It holds while the store's type keeps its version tag (so the type
// resolves every name as before) and the store's dict, whichever it is now,
// is under the hiding watch (no variable hides a method: what the type
// resolves is what `self.<name>` finds); the inherit setting is read for
// every entry.  No reference to the dict is kept: a dict the store lets go
// of mid-walk is freed then, as the literal calls free it.
class PlainRoute {
public:
    // The store's dict while the route holds for it; empty otherwise.
    Ref dict_for(PyObject* self) const noexcept
    {
        PyTypeObject* tp = Py_TYPE(self);
        if (tp != tp_ || tag_ == 0 || cpy::version_tag(tp) != tag_) {
            return Ref();
        }
        Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!d || !PyDict_CheckExact(d.get()) || !cpy::dict_has_only_str_keys(d.get()) ||
            !under_hiding_watch(d.get())) {
            PyErr_Clear();
            return Ref();
        }
        return d;
    }
    void remember(PyTypeObject* tp, const Ref& d, bool set_attr_ours) noexcept
    {
        tp_ = tp;
        tag_ = under_hiding_watch(d.get()) ? cpy::version_tag(tp) : 0;
        set_attr_ours_ = set_attr_ours;
    }
    bool set_attr_ours() const noexcept { return set_attr_ours_; }

private:
    PyTypeObject* tp_ = nullptr;
    unsigned int tag_ = 0;
    bool set_attr_ours_ = false;
};

// The traceback entries of store_plain's calls when the statement that
// fails is in `failed` (0 _mv_set, 1 __setattr__, 2 _set_attr): each call
// from there outwards adds its own, innermost first, as the calls would.
void
unwind_plain(int failed, bool as_given) noexcept
{
    if (failed >= 2) {
        add_traceback("var_main.TesselVarMain._set_attr", kSetAttrStores.line);
    }
    if (failed >= 1) {
        add_traceback("var_main.TesselVarMain.__setattr__",
                      as_given ? kSetattrAsGiven.line : kSetattrCalls.line);
    }
    add_traceback("var_main.TesselVarMain._mv_set", kAssign.line);
}

// 1 stored, 0 not all ours (nothing done: make the call), -1 failed.
int
store_plain(Call& call, PlainRoute& route, PyObject* self, PyObject* key,
            PyObject* value) noexcept
{
    if (!PyUnicode_CheckExact(key)) {
        return 0;  // _mv_set's parameter check has something to say
    }
    Ref d = route.dict_for(self);
    if (!d) {
        d = plain_dict(self);
        PyTypeObject* tp = Py_TYPE(self);
        if (!d || !own_in_dict(self, d.get(), names.mv_set, &Adapt<&mv_set>::run) ||
            own_setattr(tp) == nullptr || type_attr(tp, names.g_n_i) != nullptr) {
            return 0;
        }
        route.remember(tp, d, own_in_dict(self, d.get(), names.set_attr,
                                          &Adapt<&set_attr>::run));
    }
    PyObject* setting = PyDict_GetItemWithError(d.get(), names.g_n_i);  // borrowed
    const bool as_given = setting == Py_True;
    if (!as_given && (setting != Py_False || !route.set_attr_ours())) {
        PyErr_Clear();  // only str keys: nothing can have failed
        return 0;
    }
    Depth in_mv_set(call.thread());
    if (!in_mv_set.enter()) {
        return -1;
    }
    Ref name = Ref::steal(cpy::interned_name(state.interp, key));  // as setattr()
    Depth in_setattr(call.thread());
    if (!in_setattr.enter()) {
        unwind_plain(0, as_given);  // __setattr__ never started
        return -1;
    }
    if (as_given) {
        if (PyDict_SetItem(d.get(), name.get(), value) < 0) {
            unwind_plain(1, true);
            return -1;
        }
        return 1;
    }
    Depth in_set_attr(call.thread());
    if (!in_set_attr.enter()) {
        unwind_plain(1, false);  // _set_attr never started
        return -1;
    }
    if (PyDict_SetItem(d.get(), name.get(), value) < 0) {
        unwind_plain(2, false);
        return -1;
    }
    return 1;
}

// One entry of _mv_add: dicts merge, sequences append, the rest is set.
// False after call.fail().
bool
add_entry(Call& call, PlainRoute& route, PyObject* self, PyObject* key, PyObject* v) noexcept
{
    if (PyDict_Check(v)) {
        if (!call_method(self, names.set_dict, {key, v}, nullptr, call.thread())) {
            call.fail(kAddDict);
            return false;
        }
        return true;
    }
    if (is_sequence(v)) {
        Ref result = call_method(self, names.set_list, {v, key}, nullptr, call.thread());
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
    int stored = store_plain(call, route, self, key, v);
    if (stored == 0) {
        stored = call_method(self, names.mv_set, {key, v}, nullptr, call.thread()) ? 1 : -1;
    }
    if (stored < 0) {
        call.fail(kAddValue);
        return false;
    }
    return true;
}

// `self._i_c_u()`: a new, empty, set-up nested store.
Ref
make_nested(PyObject* self) noexcept
{
    // The factory is a variable of the store: while the type has nothing of
    // that name, `self._i_c_u` is the dict's entry, read by one probe.
    if (Ref d = plain_dict(self)) {
        if (type_attr(Py_TYPE(self), names.i_c_u) == nullptr) {
            PyObject* factory = nullptr;
            if (PyDict_GetItemRef(d.get(), names.i_c_u, &factory) > 0) {
                Ref held = Ref::steal(factory);
                d.reset();
                return Ref::steal(PyObject_CallNoArgs(held.get()));
            }
        }
    }
    return call_method(self, names.i_c_u, {});
}

// The entries of a dict of at most N, held (new references) in order.
template <Py_ssize_t N>
class Snapshot {
public:
    explicit Snapshot(PyObject* d) noexcept
    {
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        while (n_ < N && PyDict_Next(d, &pos, &k, &v)) {
            keys_[n_] = Py_NewRef(k);
            values_[n_] = Py_NewRef(v);
            ++n_;
        }
    }
    ~Snapshot()
    {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            Py_DECREF(keys_[i]);
            Py_DECREF(values_[i]);
        }
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    Py_ssize_t size() const noexcept { return n_; }
    PyObject* key(Py_ssize_t i) const noexcept { return keys_[i]; }
    PyObject* value(Py_ssize_t i) const noexcept { return values_[i]; }

private:
    PyObject* keys_[N];
    PyObject* values_[N];
    Py_ssize_t n_ = 0;
};

// `nested.add(**entries)` with a fresh dict of keywords.
bool
fill_nested(PyObject* nested, PyObject* entries, PyThreadState* ts) noexcept
{
    // The public class's own add is a data descriptor that only binds:
    // while it is in force, reading it can wait until it is called.
    const bool own_add = partner_add(Py_TYPE(nested));
    // add(**entries) hands _mv_add a new dict of the entries, which no one
    // else sees: when _mv_add is ours it gets them as a snapshot instead,
    // the same values in the same order, without a dict made and freed.
    constexpr Py_ssize_t kSnapshot = 16;
    if (own_add && PyDict_CheckExact(entries) && PyDict_GET_SIZE(entries) <= kSnapshot &&
        cpy::dict_has_only_str_keys(entries)) {
        int bind = 0;
        PyObject* fn = own_method(nested, names.mv_add, &bind);
        if (is_own(fn, &Adapt<&mv_add>::run)) {
            Ref hold = Ref::borrow(fn);
            Snapshot<kSnapshot> taken(entries);
            return static_cast<bool>(Ref::steal(run_as(fn, [&](Call& call) -> PyObject* {
                PlainRoute route;
                for (Py_ssize_t i = 0; i < taken.size(); ++i) {
                    if (!add_entry(call, route, nested, taken.key(i), taken.value(i))) {
                        return nullptr;
                    }
                }
                return new_none();
            }, ts)));
        }
        if (bind < 0) {
            return false;
        }
    }
    Ref add;
    if ((!own_add || !PyDict_CheckExact(entries)) &&
        !(add = Ref::steal(PyObject_GetAttr(nested, names.add)))) {
        return false;
    }
    // A subclass of dict is unpacked as `**` unpacks it: through its own
    // keys() and __getitem__ when it has them, and failures worded as the
    // call's (which is why `add` was read first for it).
    Ref fresh = PyDict_CheckExact(entries) ? Ref::steal(PyDict_Copy(entries))
                                           : cpy::kwargs_of(add.get(), entries);
    if (!fresh) {
        return false;
    }
    // The public class's own add(**entries) only hands its keywords, as a
    // new dict, to self._mv_add.  While that is so (our _mv_add, reached the
    // ordinary way) and every key can be a keyword, call _mv_add with the
    // fresh dict and skip the keyword round trip.
    // Every key an exact str: each can be a keyword, and building the
    // keyword dict again would hash and compare nothing new (a str subclass
    // key takes the literal call, which runs its __hash__ there).
    if (own_add && only_str_keys(fresh.get())) {
        int bind = 0;
        PyObject* fn = own_method(nested, names.mv_add, &bind);
        if (is_own(fn, &Adapt<&mv_add>::run)) {
            // Resolved just now, and nothing has run since: call it.
            Ref hold = Ref::borrow(fn);
            PyObject* args[2] = {nested, fresh.get()};
            return static_cast<bool>(Ref::steal(call_own(fn, args, 2, nullptr, ts)));
        }
        if (bind < 0) {
            return false;
        }
    }
    if (!add && !(add = Ref::steal(PyObject_GetAttr(nested, names.add)))) {
        return false;
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    return no_args && static_cast<bool>(Ref::steal(
                          PyObject_Call(add.get(), no_args.get(), fresh.get())));
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
set_dict(Call& call, Any self, Str key, Dict value, Any new_) noexcept
{
    // Read from a plain dict with only str keys, the entry can be read again
    // only after code has run: while none can (the tests below run none),
    // the second read (kMergeAdd) is the object of the first.
    Ref current;
    bool reread = true;
    {
        Ref d = plain_dict(self);
        reread = !d;
        if (reread) {
            d = instance_dict(self);
        }
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
            Ref r = Ref::steal(PyObject_CallMethodOneArg(
                target.get(), names.update, value.p));
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
    if (!call_method(self, names.mv_set, {key.p, nested.get()}, nullptr, call.thread())) {
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
        Ref d = plain_dict(self);
        const bool reread = !d;
        if (reread) {
            d = instance_dict(self);
        }
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
            Ref converted = call_method(self, names.set_list, {el}, nullptr, call.thread());
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
    PlainRoute route;
    for (auto& [key, value] : items) {
        if (!add_entry(call, route, self, key.get(), value.get())) {
            return nullptr;
        }
    }
    if (!items.ok()) {
        return call.fail(kEachEntry);
    }
    return new_none();
}

PyObject*
mv_set(Call& call, Any self, Str name, Any value, Any inherit) noexcept
{
    int convert = truth(inherit);
    if (convert < 0) {
        return call.fail(kTestInherit);
    }
    if (convert) {
        if (!call_method(self, names.set_attr, {name.p, value})) {
            return call.fail(kConvert);
        }
    }
    else if (set_attribute(self, name.p, value) < 0) {
        return call.fail(kAssign);
    }
    return new_none();
}

PyObject*
mv_set_kwargs(Call& call, Any self, Dict kwargs) noexcept
{
    DictItems items(kwargs.p);
    for (auto& [key, value] : items) {
        if (set_attribute(self, key.get(), value.get()) < 0) {
            return call.fail(kAssignKwarg);
        }
    }
    if (!items.ok()) {
        return call.fail(kEachKwarg);
    }
    return new_none();
}

}  // namespace vm

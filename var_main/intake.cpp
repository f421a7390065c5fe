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

#include <algorithm>

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

Tried try_add(PyObject* nested, PyObject* entries, PyThreadState* ts) noexcept;

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

// --- _mv_add into a store that holds no variables ----------------------------
// `self._mv_add(entries)` on a store holding nothing but its settings, when
// every step it would take is ours, is fully known: a dict becomes a new
// store from the store's factory, placed, then filled the same way; a
// list, tuple or set becomes a new list whose dicts become new stores; any
// other value is stored as it is.  Keys go in as each step puts them: a
// store or plain value by setattr (the name interned), a list by item
// assignment (as given).  So while none of those steps can run code the
// fill is made here in one walk, without the calls: every container of
// the entries exact, every key an exact str that names no method or
// setting (a hiding variable would change the later steps), the factory
// the public class's own with a bool inherit setting, and room for the
// levels and the stack the calls would take, so that none of them could
// fail where this does not.

// A scan of the entries before a fill: how deep they nest, and whether a
// fill can take them.
class FillScan {
public:
    explicit FillScan(int limit) noexcept : limit_(limit) {}
    bool entries(PyObject* d, int level) noexcept
    {
        if (level > limit_) {
            return false;
        }
        depth_ = std::max(depth_, level);
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(d, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || names_a_method(key) || is_setting_name(key) ||
                !item(value, level)) {
                return false;
            }
        }
        return true;
    }
    int depth() const noexcept { return depth_; }

private:
    bool item(PyObject* v, int level) noexcept
    {
        if (PyDict_CheckExact(v)) {
            return entries(v, level + 1);
        }
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            return sequence(v, level + 1);
        }
        if (PyAnySet_CheckExact(v)) {
            return PyFrozenSet_CheckExact(v) || set(v, level + 1);
        }
        return !PyDict_Check(v) && !is_sequence(v);  // a subclass unpacks its own way
    }
    bool sequence(PyObject* v, int level) noexcept
    {
        if (level > limit_) {
            return false;
        }
        depth_ = std::max(depth_, level);
        const bool list = PyList_CheckExact(v);
        const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!item(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), level)) {
                return false;
            }
        }
        return true;
    }
    bool set(PyObject* v, int level) noexcept
    {
        Ref it = Ref::steal(PyObject_GetIter(v));
        if (!it) {
            PyErr_Clear();
            return false;
        }
        while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
            if (!item(element.get(), level)) {
                return false;
            }
        }
        return !PyErr_Occurred();
    }

    int limit_;
    int depth_ = 0;
};

// The fill itself, once the scan and the checks said yes.
class Fill {
public:
    explicit Fill(PyObject* factory) noexcept : factory_(factory) {}

    // Fills the dict `d` of a store holding nothing but its settings.
    bool into(PyObject* d, PyObject* entries) noexcept
    {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(entries, &pos, &key, &value)) {
            if (is_sequence(value)) {
                Ref list = convert(value);
                if (!list || PyDict_SetItem(d, key, list.get()) < 0) {
                    return false;
                }
                continue;
            }
            Ref name = Ref::steal(cpy::interned_name(state().interp, key));
            if (!PyDict_CheckExact(value)) {
                if (PyDict_SetItem(d, name.get(), value) < 0) {
                    return false;
                }
                continue;
            }
            Ref nested = store();
            if (!nested || PyDict_SetItem(d, name.get(), nested.get()) < 0 ||
                !into(dict_of(nested.get()), value)) {
                return false;
            }
        }
        return true;
    }

private:
    Ref store() noexcept
    {
        Ref made = Ref::steal(state().public_class.make_store(factory_));
        if (!made && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "the store factory changed during a fill");
        }
        return made;
    }
    // A store made by make_store has its dict already (a fresh one).
    static PyObject* dict_of(PyObject* store) noexcept
    {
        Ref d = Ref::steal(cpy::object_dict(store));
        return d.get();  // held by the store
    }
    Ref convert(PyObject* seq) noexcept
    {
        ListBuilder out;
        Iteration elements(seq);
        for (Ref& element : elements) {
            Ref item;
            if (PyDict_CheckExact(element.get())) {
                item = store();
                if (!item || !into(dict_of(item.get()), element.get())) {
                    return Ref();
                }
            }
            else if (is_sequence(element.get())) {
                item = convert(element.get());
            }
            else {
                item = std::move(element);
            }
            if (!item || !out.push(std::move(item))) {
                return Ref();
            }
        }
        return elements.ok() ? out.finish() : Ref();
    }

    PyObject* factory_;
};

// Are the steps of a fill ours on a store of `tp` that holds nothing but
// its settings (so no variable hides a method): _set_dict, _set_list,
// _mv_set and _mv_add, setattr() into our __setattr__, our _set_attr, and
// `_i_c_u` and `_g_n_i` variables the type does not shadow.
bool
fill_steps_asked(PyTypeObject* tp) noexcept
{
    const Names& n = names();
    return dict_is_plain(tp) && is_our_method(type_attr(tp, n.set_dict), Def::set_dict) &&
           is_our_method(type_attr(tp, n.set_list), Def::set_list) &&
           is_our_method(type_attr(tp, n.mv_set), Def::mv_set) &&
           is_our_method(type_attr(tp, n.mv_add), Def::mv_add) &&
           is_our_method(type_attr(tp, n.set_attr), Def::set_attr) &&
           resolve_setattr(tp).is(Def::setattr_hook) && type_attr(tp, n.i_c_u) == nullptr &&
           type_attr(tp, n.g_n_i) == nullptr;
}
bool
fill_steps_ours(PyTypeObject* tp) noexcept
{
    return per_version(tp, &TypeInfo::fill_own, fill_steps_asked);
}

// The store's settings as a fill needs them: its factory, and a bool
// inherit setting (read by __setattr__ for every plain value).  nullptr
// when they are not.
PyObject*
fill_factory(const PlainDict& d) noexcept
{
    const Names& n = names();
    PyObject* inherit = PyDict_GetItemWithError(d.get(), n.g_n_i);
    PyObject* factory = PyDict_GetItemWithError(d.get(), n.i_c_u);
    return (inherit == Py_True || inherit == Py_False) ? factory : nullptr;
}

// How many levels of calls a fill of entries nesting `depth` deep stands
// for (a dict or list level: its _mv_add or _set_list and its _set_dict;
// the deepest: _mv_set, __setattr__ and _set_attr), with room to spare; and
// the C stack those calls could use at most.
constexpr int kLevelsPerDepth = 2;
constexpr int kLevelsSpare = 8;
constexpr std::uintptr_t kStackPerDepth = std::uintptr_t{16} * 1024;
constexpr int kDeepest = 1000;

// _mv_add's shortcut: the fill above, or NotMine.
Tried
try_fill_empty(Call& call, PyObject* self, PyObject* entries) noexcept
{
    PyThreadState* ts = call.thread();
    PlainDict d(self);
    const PublicClass& pc = state().public_class;
    if (!d || PyDict_GET_SIZE(d.get()) != 4 || pc.make_store == nullptr) {
        return Tried::NotMine;
    }
    for (PyObject* setting : names().settings) {
        if (PyDict_GetItemWithError(d.get(), setting) == nullptr) {
            return Tried::NotMine;  // holds a variable (str keys only: no error)
        }
    }
    // The nested stores are made by the factory, of the public class, with
    // the factory's settings; the steps are asked of the types (neither
    // kind of store holds a variable that could hide one), and the nested
    // stores' add() must be the class's own.
    PyObject* factory = fill_factory(d);
    if (factory == nullptr || !pc.makes_plainly(factory) || !fill_steps_ours(Py_TYPE(self)) ||
        !fill_steps_ours(pc.type) || !runs_own_add(pc.type)) {
        return Tried::NotMine;
    }
    // The scan goes no deeper than the levels and the stack allow.
    const auto stack =
        static_cast<int>(std::min<std::uintptr_t>(stack_left() / kStackPerDepth, kDeepest + 1));
    const int limit =
        std::min({kDeepest, (cpy::recursion_room(ts) - kLevelsSpare) / kLevelsPerDepth, stack - 1});
    FillScan scan(limit);
    if (limit < 0 || !scan.entries(entries, 0) ||
        !room_for(ts, kLevelsPerDepth * scan.depth() + kLevelsSpare)) {
        return Tried::NotMine;
    }
    Ref held = Ref::borrow(factory);
    PyObject* target = d.get();
    Ref keep = Ref::borrow(target);
    d.reset();
    return Fill(factory).into(target, entries) ? Tried::Done : Tried::Error;
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

namespace {

// The entries of a small dict, held.  `add(**entries)` hands _mv_add a new
// dict of the same keys and values in the same order, which nothing else
// sees: holding them is that dict without making and freeing it.
class Snapshot {
public:
    static constexpr Py_ssize_t kMost = 16;
    explicit Snapshot(PyObject* d) noexcept
    {
        Py_ssize_t pos = 0;
        PyObject* k;
        PyObject* v;
        while (n_ < kMost && PyDict_Next(d, &pos, &k, &v)) {
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
    PyObject* keys_[kMost];
    PyObject* values_[kMost];
    Py_ssize_t n_ = 0;
};

// _mv_add's body on `kwargs`, or on `held`, a snapshot of it, when kwargs
// is someone else's dict that code run by the entries' steps could change.
PyObject*
add_entries(Call& call, PyObject* self, PyObject* kwargs, const Snapshot* held) noexcept
{
    if (PyDict_GET_SIZE(kwargs) == 0) {
        return new_none();
    }
    // The fill runs no code: the dict is still what the snapshot holds.
    switch (try_fill_empty(call, self, kwargs)) {
    case Tried::Done:
        return new_none();
    case Tried::Error:
        return call.fail(kEachEntry);
    case Tried::NotMine:
        break;
    }
    if (held != nullptr) {
        for (Py_ssize_t i = 0; i < held->size(); ++i) {
            if (!add_entry(call, self, held->key(i), held->value(i))) {
                return nullptr;
            }
        }
        return new_none();
    }
    DictItems items(kwargs);
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

// `nested.add(**entries)` for a merge into a nested store whose add is the
// class's own, which hands its keywords, as a dict of their own, to
// self._mv_add.  Every key an exact str: each can be a keyword, and
// building the keyword dict would hash and compare nothing new (a str
// subclass key takes the literal call, which runs its __hash__ there).
Tried
try_add(PyObject* nested, PyObject* entries, PyThreadState* ts) noexcept
{
    if (!PyDict_CheckExact(entries) || !runs_own_add(Py_TYPE(nested)) || !only_str_keys(entries)) {
        return Tried::NotMine;
    }
    if (PyDict_GET_SIZE(entries) <= Snapshot::kMost) {
        Resolved found = resolve(nested, names().mv_add);
        if (found.failed()) {
            return Tried::Error;
        }
        if (found.is(Def::mv_add)) {
            Ref fn = Ref::borrow(found.function());
            Snapshot held(entries);
            return Ref::steal(run_as(
                       fn.get(),
                       [&](Call& call) { return add_entries(call, nested, entries, &held); }, ts))
                       ? Tried::Done
                       : Tried::Error;
        }
    }
    Ref fresh = Ref::steal(PyDict_Copy(entries));
    return fresh && add_variables(nested, fresh.get(), ts) ? Tried::Done : Tried::Error;
}

}  // namespace

PyObject*
mv_add(Call& call, Any self, Dict kwargs) noexcept
{
    return add_entries(call, self, kwargs.p, nullptr);
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

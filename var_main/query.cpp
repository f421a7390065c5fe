// var_main/query.cpp: reading and removing variables.
//
//   _mv_keys/_mv_values/_mv_items  new lists of the variables, in __dict__
//                                  order, leaving out what self._skip() names
//   _mv_get      a name, a "$.a.b" path or a sequence of steps; any Exception
//                inside the lookup ends in the caller's default
//   _mv_pop/_mv_pops/_mv_clear     removal by attribute deletion
#include "methods.hpp"
#include "store/lines.hpp"
#include "store/public_class.hpp"
#include "store/rules.hpp"
#include "store/walks.hpp"

namespace vm {

namespace {

// The statements that tracebacks point at (their text: store/methods.txt).
// Each view is one statement: the walk with its exclusion test.
constexpr Statement kKeysWalk = at(Def::mv_keys, 141);
constexpr Statement kValuesWalk = at(Def::mv_values, 149);
constexpr Statement kItemsWalk = at(Def::mv_items, 157);
// _mv_get
constexpr Statement kIsPath = at(Def::mv_get, 115);
constexpr Statement kSplitPath = at(Def::mv_get, 116);
constexpr Statement kNameIn = at(Def::mv_get, 120);
constexpr Statement kNameGet = at(Def::mv_get, 121);
constexpr Statement kEachStep = at(Def::mv_get, 126);
constexpr Statement kStepIn = at(Def::mv_get, 127);
constexpr Statement kStepGet = at(Def::mv_get, 128);
// _mv_pop, _mv_pops
constexpr Statement kPopTest = at(Def::mv_pop, 85);
constexpr Statement kPopDelete = at(Def::mv_pop, 86);
constexpr Statement kPopsTest = at(Def::mv_pops, 95);
constexpr Statement kPopsDelete = at(Def::mv_pops, 96);
// _mv_clear
constexpr Statement kClearList = at(Def::mv_clear, 102);
constexpr Statement kClearPop = at(Def::mv_clear, 104);

// --- Views --------------------------------------------------------------

enum class View { Keys, Values, Items };

// The common case: our own _skip and only exact str keys.  No Python code
// can run except through the allocation of item tuples (a garbage
// collection may run finalizers), so the list is filled in place and kept
// away from the collector until it is complete.  Returns 1 with the list in
// `out`, 0 when the general walk must run, -1 on error.
int
quick_view(PyObject* d, View what, SkipRule& rule, Ref& out)
{
    int mine = rule.own();
    if (mine <= 0) {
        return mine;
    }
    if (!PyDict_CheckExact(d) || !only_str_keys(d)) {
        return 0;
    }
    const Py_ssize_t n = PyDict_GET_SIZE(d);
    Ref list = Ref::steal(PyList_New(n));
    if (!list) {
        return -1;
    }
    PyObject_GC_UnTrack(list.get());
    PyObject** items = cpy::list_items(list.get());
    Py_ssize_t count = 0;
    PyObject* key;
    PyObject* value;
    if (what != View::Items) {
        // Nothing is allocated on the way: the entries can be read in place.
        VariableWalk(d).each([&](PyObject* k, PyObject* v) {
            items[count++] = Py_NewRef(what == View::Keys ? k : v);
            return true;
        });
        Py_SET_SIZE(list.get(), count);
        PyObject_GC_Track(list.get());
        out = std::move(list);
        return 1;
    }
    // The pairs are made first, before any entry is read: a collection run
    // by their allocation may change the dict (or our _skip), though 3.13
    // only schedules it for the next safe point.  Then, if nothing changed,
    // the entries are read in one pass that allocates nothing.  The
    // settings are counted first (set-up puts them first: the count stops
    // at the fourth).
    Py_ssize_t settings = 0;
    {
        DictWalk walk(d);
        while (settings < 4 && walk.next(&key, &value)) {
            settings += is_setting_name(key);
        }
    }
    const Py_ssize_t pairs = n - settings;
    for (Py_ssize_t made = 0; made < pairs; ++made) {
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) {
            Py_SET_SIZE(list.get(), made);
            return -1;
        }
        items[made] = pair;
    }
    Py_SET_SIZE(list.get(), pairs);
    if (pairs > 0) {
        rule.invalidate();
        const int still = rule.own();
        if (still <= 0) {
            return still;
        }
        if (PyDict_GET_SIZE(d) != n || !only_str_keys(d)) {
            return 0;  // code ran and changed what the walk rests on
        }
    }
    const bool fits = VariableWalk(d).each([&](PyObject* k, PyObject* v) {
        if (count == pairs) {
            return false;  // settings moved: only code can have done it
        }
        PyObject* pair = items[count++];
        PyTuple_SET_ITEM(pair, 0, Py_NewRef(k));
        PyTuple_SET_ITEM(pair, 1, Py_NewRef(v));
        return true;
    });
    if (!fits || count != pairs) {
        return 0;
    }
    Py_SET_SIZE(list.get(), count);
    PyObject_GC_Track(list.get());
    out = std::move(list);
    return 1;
}

PyObject*
view(Call& call, PyObject* self, View what, Statement line) noexcept
{
    Ref d = instance_dict(self);
    if (!d || !require_dict(d.get())) {
        return call.fail(line);
    }
    SkipRule rule(self);
    Ref quick;
    int done = quick_view(d.get(), what, rule, quick);
    if (done != 0) {
        return done > 0 ? quick.release() : call.fail(line);
    }
    ListBuilder result;
    DictItems items(d.get());
    for (auto& [key, value] : items) {
        int skipped = rule.test(key.get());
        if (skipped < 0) {
            return call.fail(line);
        }
        if (skipped) {
            continue;
        }
        Ref element;
        switch (what) {
        case View::Keys:
            element = std::move(key);
            break;
        case View::Values:
            element = std::move(value);
            break;
        default:
            element = Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
            break;
        }
        if (!element || !result.push(std::move(element))) {
            return call.fail(line);
        }
    }
    if (!items.ok()) {
        return call.fail(line);
    }
    Ref list = result.finish();
    return list ? list.release() : call.fail(line);
}

// --- Lookup ---------------------------------------------------------------

// After a failed step of _mv_get: an Exception becomes the default, anything
// else (KeyboardInterrupt, SystemExit...) goes on with the step's line.
PyObject*
give_up(Call& call, PyObject* fallback, Statement line) noexcept
{
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return Py_NewRef(fallback);
    }
    return call.fail(line);
}

// One step of a path walk: `step in current.keys()` and `current.get(step)`.
// Returns 1 and replaces `current`, 0 when the step is absent, -1 on error
// (with *line set).  As a probe when it is certain to answer like the
// calls: a plain dict with only exact str keys and an exact str step (then
// both calls are one dict probe that runs no code), or a store whose own
// keys() and get() are in force (public_class.hpp).
int
walk_step(Ref& current, PyObject* step, Statement* line)
{
    PyObject* cur = current.get();
    if (PyDict_CheckExact(cur) && PyUnicode_CheckExact(step) && only_str_keys(cur)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(cur, step, &value) <= 0) {
            PyErr_Clear();  // str keys only: absent, never an error
            return 0;
        }
        current = Ref::steal(value);
        return 1;
    }
    *line = kStepIn;  // the call fails at the first of its statements
    const Step stepped = try_step(current, step);
    if (stepped == Step::GetFailed) {
        *line = kStepGet;
        return -1;
    }
    if (stepped != Step::NotMine) {
        return static_cast<int>(stepped);
    }
    code_may_run();
    Ref keys = Ref::steal(PyObject_GetAttr(current.get(), names().keys));
    if (!keys) {
        return -1;
    }
    Ref listed = Ref::steal(PyObject_CallNoArgs(keys.get()));
    if (!listed) {
        return -1;
    }
    int found = PySequence_Contains(listed.get(), step);
    if (found <= 0) {
        return found;
    }
    *line = kStepGet;
    Ref get = Ref::steal(PyObject_GetAttr(current.get(), names().get));
    if (!get) {
        return -1;
    }
    Ref next = Ref::steal(PyObject_CallOneArg(get.get(), step));
    if (!next) {
        return -1;
    }
    current = std::move(next);
    return 1;
}

// A name lookup as a dict probe.  The literal lookup builds the list of
// names through self._mv_keys() (which asks self._skip() per entry) and
// tests membership in it; while both are our own, the store's __dict__ is
// the instance dict and every key is an exact str, no code can run on the
// way and the probe gives the same answer.  Returns 1 with `result` set,
// 0 when the literal lookup must run.
int
probe_name(PyObject* self, PyObject* name, PyObject* fallback, Ref& result)
{
    if (!PyUnicode_CheckExact(name)) {
        return 0;
    }
    PlainDict d(self);
    if (!d || !resolve_in(self, d, names().mv_keys).is(Def::mv_keys) ||
        !resolve_in(self, d, names().skip).is(Def::skip)) {
        return 0;
    }
    PyObject* value = nullptr;
    if (!is_setting_name(name) && PyDict_GetItemRef(d.get(), name, &value) < 0) {
        PyErr_Clear();
        return 0;
    }
    result = Ref::steal(value != nullptr ? value : Py_NewRef(fallback));
    return 1;
}

PyObject*
walk_path(Call& call, PyObject* self, PyObject* path, PyObject* fallback,
          Py_ssize_t skip = 0) noexcept
{
    Ref current = Ref::borrow(self);
    Statement line = kEachStep;
    // A list's or tuple's own iterator reads it by position as it stands, so
    // a path changed by keys() or get() is seen in its changed state.
    Iteration steps(path);
    for (Ref& step : steps) {
        if (skip > 0) {
            --skip;  // the "$" before the first dot of a path string
            continue;
        }
        int r = walk_step(current, step.get(), &line);
        if (r < 0) {
            return give_up(call, fallback, line);
        }
        if (r == 0) {
            return Py_NewRef(fallback);
        }
    }
    if (!steps.ok()) {
        return give_up(call, fallback, kEachStep);
    }
    return current.release();
}

// The steps of the "$.a.b" path strings walked last, by the string's
// address: the pieces of `key.split(".")[1:]`, cut and interned once per
// path object (a path written in the code is the same object at every
// call), so each step's lookup finds the dict's own key by address.  An
// entry holds its path, so no other string can take its address meanwhile.
// Paths of more steps are cut on every walk.  The table is never freed: no
// reference may be dropped after the interpreter is gone.
constexpr int kCachedSteps = 8;
struct PathSteps {
    PathSteps() noexcept = default;
    PathSteps(const PathSteps&) = delete;
    PathSteps& operator=(const PathSteps&) = delete;
    Ref path;  // none while the entry is being filled
    int count = 0;
    Ref steps[kCachedSteps];
};
PathSteps* const path_cache = new PathSteps[8];

// The cached steps of `key` (an exact str that starts with "$."), cut now
// if need be; nullptr with an error set, or with none when the path has
// more steps than an entry holds.
const PathSteps*
steps_of(PyObject* key, PyThreadState* ts) noexcept
{
    PathSteps& e = path_cache[(reinterpret_cast<std::uintptr_t>(key) >> 4) & 7];
    if (e.path.get() == key) {
        return &e;
    }
    // The strings let go of here and below run no code.
    e.path.reset();
    e.count = 0;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    for (Py_ssize_t start = 2;;) {
        const Py_ssize_t dot = PyUnicode_FindChar(key, '.', start, length, 1);
        if (dot == -2 || e.count == kCachedSteps) {
            return nullptr;  // an error, or too long to keep
        }
        const Py_ssize_t end = dot < 0 ? length : dot;
        Ref step = Ref::steal(PyUnicode_Substring(key, start, end));
        if (!step) {
            return nullptr;
        }
        e.steps[e.count++] =
            Ref::steal(cpy::interned_name(PyThreadState_GetInterpreter(ts), step.get()));
        if (dot < 0) {
            break;
        }
        start = dot + 1;
    }
    e.path = Ref::borrow(key);
    return &e;
}

// A "$.a.b" path string walked step by step: the steps are the pieces of
// `key.split(".")[1:]`, with no list made for them (nobody else could see
// that list).
PyObject*
walk_path_string(Call& call, PyObject* self, PyObject* key, PyObject* fallback) noexcept
{
    Ref current = Ref::borrow(self);
    Statement line = kEachStep;
    const PathSteps* cached = steps_of(key, call.thread());
    if (cached != nullptr) {
        // A step may run code that walks other paths and replaces the
        // entry: the walk holds its own references to the steps.
        Ref steps[kCachedSteps];
        const int count = cached->count;
        for (int i = 0; i < count; ++i) {
            steps[i] = Ref::borrow(cached->steps[i].get());
        }
        for (int i = 0; i < count; ++i) {
            const int r = walk_step(current, steps[i].get(), &line);
            if (r < 0) {
                return give_up(call, fallback, line);
            }
            if (r == 0) {
                return Py_NewRef(fallback);
            }
        }
        return current.release();
    }
    if (PyErr_Occurred()) {
        return give_up(call, fallback, kSplitPath);
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
    Py_ssize_t start = 2;  // past "$."
    for (;;) {
        const Py_ssize_t dot = PyUnicode_FindChar(key, '.', start, length, 1);
        if (dot == -2) {
            return give_up(call, fallback, kSplitPath);
        }
        const Py_ssize_t end = dot < 0 ? length : dot;
        Ref step = Ref::steal(PyUnicode_Substring(key, start, end));
        if (!step) {
            return give_up(call, fallback, kSplitPath);
        }
        int r = walk_step(current, step.get(), &line);
        if (r < 0) {
            return give_up(call, fallback, line);
        }
        if (r == 0) {
            return Py_NewRef(fallback);
        }
        if (dot < 0) {
            return current.release();
        }
        start = dot + 1;
    }
}

// --- Removal ----------------------------------------------------------------

// The presence test: ordinary lookup on the object and its class, without the
// missing-attribute hook.  1, 0, or -1 with an error set.
int
has_own_attribute(PyObject* self, PyObject* name)
{
    Ref found = Ref::steal(PyObject_GenericGetAttr(self, name));
    if (found) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Deletes one attribute.  A name that is also one of the interpreter's own
// slots of the object (__dict__, __class__, __weakref__: getset descriptors)
// can only be a variable stored beside it by __setattr__: remove that entry
// and never reach the descriptor, which for __dict__ would throw away every
// variable at once.  Anything else, properties with their deleters included,
// goes through ordinary deletion.
int
delete_attribute(PyObject* self, PyObject* name)
{
    PyTypeObject* tp = Py_TYPE(self);
    if (!cpy::mro_keys_plain(tp)) {
        return PyObject_DelAttr(self, name);  // its lookup runs code: once
    }
    PyObject* descr = cpy::type_lookup(tp, name);
    // Only an ordinary instance: a class's dict is its type's own, and
    // deleting from it behind the interpreter's back corrupts its caches.
    // And only a store: anything else is deleted from the ordinary way.
    if (descr != nullptr && Py_IS_TYPE(descr, &PyGetSetDescr_Type) && is_ordinary_type(tp) &&
        is_store_instance(self)) {
        Ref d = Ref::steal(cpy::object_dict(self));
        if (!d) {
            return -1;
        }
        int present = PyDict_Contains(d.get(), name);
        if (present <= 0) {
            return present;
        }
        return PyDict_DelItem(d.get(), name);
    }
    return PyObject_DelAttr(self, name);
}

// Presence test and deletion of one name, at the given lines.  An object
// that is not a store (passed through the class) is asked like the
// statement says, `hasattr(self, name)`: its own missing-name hook counts.
PyObject*
pop_one(Call& call, PyObject* self, PyObject* name, Statement test_line,
        Statement delete_line) noexcept
{
    const int present = is_store_instance(self) ? has_own_attribute(self, name)
                                                : PyObject_HasAttrWithError(self, name);
    if (present < 0) {
        return call.fail(test_line);
    }
    if (present && delete_attribute(self, name) < 0) {
        return call.fail(delete_line);
    }
    return Py_None;  // borrowed: callers only test for failure
}

// `self._mv_pop(name)` done in place while _mv_pop and deletion are our
// own and the type has nothing of that name: the presence test is then a
// dict probe and the deletion a removal from the instance dict.  Releasing
// the last reference to a value may run code (a finalizer), after which the
// resolution is made again.
class FastPop {
public:
    explicit FastPop(PyObject* self) noexcept : self_(self) {}

    // 1: handled; 0: the literal call must run; -1: error.
    int pop(PyObject* name)
    {
        if (!PyUnicode_CheckExact(name)) {
            return 0;
        }
        if (!resolved_) {
            PyTypeObject* tp = Py_TYPE(self_);
            Resolved pop = resolve(self_, names().mv_pop);
            own_ = delattr_is_plain(tp) && pop.is(Def::mv_pop);
            if (pop.failed()) {
                PyErr_Clear();
            }
            resolved_ = true;
            dict_ = own_ ? Ref::steal(cpy::object_dict(self_)) : Ref();
            if (own_ && !dict_) {
                return -1;
            }
        }
        // With only exact str keys the removal compares no key with __eq__
        // and runs no code; the type must have nothing of that name, so
        // that removal from the dict is all the literal deletion would do.
        if (!own_ || !only_str_keys(dict_.get()) ||
            cpy::type_lookup(Py_TYPE(self_), name) != nullptr) {
            resolved_ = false;  // the literal call runs code
            dict_.reset();
            return 0;
        }
        // Another extension's watcher of the dict runs inside the removal.
        const bool watched = foreign_watchers(dict_.get());
        PyObject* value = nullptr;
        if (PyDict_Pop(dict_.get(), name, &value) < 0) {
            return -1;
        }
        if (watched || (value != nullptr && Py_REFCNT(value) == 1)) {
            resolved_ = false;  // code ran, or a finalizer may run
            dict_.reset();
        }
        Py_XDECREF(value);
        return 1;
    }

private:
    PyObject* self_;
    bool resolved_ = false;
    bool own_ = false;
    Ref dict_;
};

// Letting go of the last reference to `v` runs no code: a number, a
// string, None or a bool (no finalizer, no weak references, nothing held).
bool
frees_quietly(PyObject* v) noexcept
{
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBytes_CheckExact(v) || PyComplex_CheckExact(v) || v == Py_None;
}

// Deleting `name` from a store of `tp` whose removal_is_plain: nothing of
// the type under the name, or nothing that deletion reaches.
bool
removes_plainly(PyTypeObject* tp, PyObject* name) noexcept
{
    PyObject* found = cpy::type_lookup(tp, name);
    return found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr;
}

// `_mv_clear`'s removals all at once, when each `self._mv_pop(name)` would
// only take the entry out of the dict and no removal can run code: our
// _mv_pop and _skip, removal only a removal (removal_is_plain), a plain
// dict that no one else's watcher watches, and every value and key freed
// quietly (or still held elsewhere).  Then
// the dict is emptied and its settings put back in their order: nothing
// could have looked at it in between, and it ends as the removals leave it.
Tried
try_clear_all(PyObject* self) noexcept
{
    PlainDict d(self);
    PyTypeObject* tp = Py_TYPE(self);
    if (!d || foreign_watchers(d.get()) || !removal_is_plain(tp) ||
        !resolve_in(self, d, names().mv_pop).is(Def::mv_pop) ||
        !resolve_in(self, d, names().skip).is(Def::skip)) {
        return Tried::NotMine;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(d.get());
    PyObject* kept[8];
    int nkept = 0;
    DictWalk walk(d.get());
    PyObject* key;
    PyObject* value;
    while (walk.next(&key, &value)) {
        // Keys are exact str and free quietly.  The settings and the dunders
        // (which may name something of the type whose deletion is more than
        // a removal) begin with an underscore.  A value held only here
        // (perhaps under more than one name) must go quietly.
        if (!PyUnicode_CheckExact(key)) {
            return Tried::NotMine;
        }
        if (begins_with_underscore(key)) {
            if (is_setting_name(key)) {
                kept[nkept++] = key;  // at most four: the keys differ
                kept[nkept++] = value;
                continue;
            }
            if (is_dunder(key) && !removes_plainly(tp, key)) {
                return Tried::NotMine;
            }
        }
        if (Py_REFCNT(value) <= size && !frees_quietly(value)) {
            return Tried::NotMine;
        }
    }
    if (nkept == 2 * static_cast<int>(size)) {
        return Tried::Done;  // no variables
    }
    Ref held[8];
    for (int i = 0; i < nkept; ++i) {
        held[i] = Ref::borrow(kept[i]);
    }
    PyDict_Clear(d.get());
    for (int i = 0; i < nkept; i += 2) {
        if (PyDict_SetItem(d.get(), held[i].get(), held[i + 1].get()) < 0) {
            return Tried::Error;
        }
    }
    return Tried::Done;
}

}  // namespace

PyObject*
mv_keys(Call& call, Any self) noexcept
{
    return view(call, self, View::Keys, kKeysWalk);
}

PyObject*
mv_values(Call& call, Any self) noexcept
{
    return view(call, self, View::Values, kValuesWalk);
}

PyObject*
mv_items(Call& call, Any self) noexcept
{
    return view(call, self, View::Items, kItemsWalk);
}

PyObject*
mv_get(Call& call, Any self, Any key, Any fallback) noexcept
{
    Ref lookup = Ref::borrow(key);
    Py_ssize_t skip = 0;
    if (PyUnicode_Check(key)) {
        Py_ssize_t is_path;
        if (PyUnicode_CheckExact(key)) {
            // key.startswith("$."), two code points read in place.
            const int kind = PyUnicode_KIND(key);
            const void* data = PyUnicode_DATA(key);
            is_path = PyUnicode_GET_LENGTH(key) >= 2 && PyUnicode_READ(kind, data, 0) == '$' &&
                      PyUnicode_READ(kind, data, 1) == '.';
        }
        else {
            Ref r =
                Ref::steal(PyObject_CallMethodOneArg(key, names().startswith, names().dollar_dot));
            is_path = r ? truth(r.get()) : -1;
        }
        if (is_path < 0) {
            return give_up(call, fallback, kIsPath);
        }
        if (is_path && PyUnicode_CheckExact(key)) {
            return walk_path_string(call, self, key, fallback);
        }
        if (is_path) {
            Ref pieces =
                PyUnicode_CheckExact(key)
                    ? Ref::steal(PyUnicode_Split(key, names().dot, -1))
                    : Ref::steal(PyObject_CallMethodOneArg(key, names().split, names().dot));
            if (!pieces) {
                return give_up(call, fallback, kSplitPath);
            }
            if (PyList_CheckExact(pieces.get())) {
                // Our own list: walk it from its second item instead of
                // copying the slice (nobody else can see or change it).
                lookup = std::move(pieces);
                skip = 1;
            }
            else {
                lookup = Ref::steal(PySequence_GetSlice(pieces.get(), 1, PY_SSIZE_T_MAX));
                if (!lookup) {
                    return give_up(call, fallback, kSplitPath);
                }
            }
        }
    }

    if (PyUnicode_Check(lookup.get())) {
        Ref probed;
        if (probe_name(self, lookup.get(), fallback, probed)) {
            return probed.release();
        }
        Ref keys = call_method(self, names().mv_keys, {});
        if (!keys) {
            return give_up(call, fallback, kNameIn);
        }
        int found = PySequence_Contains(keys.get(), lookup.get());
        if (found < 0) {
            return give_up(call, fallback, kNameIn);
        }
        if (!found) {
            return Py_NewRef(fallback);
        }
        Ref d = instance_dict(self);
        Ref value;
        if (!d || !(value = dict_get(d.get(), lookup.get()))) {
            return give_up(call, fallback, kNameGet);
        }
        return value.release();
    }
    return walk_path(call, self, lookup.get(), fallback, skip);
}

PyObject*
mv_pop(Call& call, Any self, Str name) noexcept
{
    if (!pop_one(call, self, name.p, kPopTest, kPopDelete)) {
        return nullptr;
    }
    return new_none();
}

PyObject*
mv_pops(Call& call, Any self, Tuple args) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.p); ++i) {
        if (!pop_one(call, self, PyTuple_GET_ITEM(args.p, i), kPopsTest, kPopsDelete)) {
            return nullptr;
        }
    }
    return new_none();
}

PyObject*
mv_clear(Call& call, Any self) noexcept
{
    switch (try_clear_all(self)) {
    case Tried::Done:
        return new_none();
    case Tried::Error:
        return call.fail(kClearPop);
    case Tried::NotMine:
        break;
    }
    Ref doomed;
    {
        Ref d = instance_dict(self);
        if (!d || !require_dict(d.get())) {
            return call.fail(kClearList);
        }
        doomed = Ref::steal(PyList_New(0));
        if (!doomed) {
            return call.fail(kClearList);
        }
        DictItems items(d.get());
        SkipRule rule(self);
        for (auto& [key, value] : items) {
            int skipped = rule.test(key.get());
            if (skipped < 0) {
                return call.fail(kClearList);
            }
            if (!skipped && PyList_Append(doomed.get(), key.get()) < 0) {
                return call.fail(kClearList);
            }
        }
        if (!items.ok()) {
            return call.fail(kClearList);
        }
    }
    FastPop fast(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(doomed.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(doomed.get(), i);
        int done = fast.pop(name);
        if (done < 0) {
            return call.fail(kClearPop);
        }
        if (!done && !call_method(self, names().mv_pop, {name})) {
            return call.fail(kClearPop);
        }
    }
    return new_none();
}

}  // namespace vm

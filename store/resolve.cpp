// store/resolve.cpp: resolving `self.<name>` from its parts.
//
// The rules every fast path of the two extensions follows.
//
// A fast path replaces a literal step (an attribute lookup on self, a call
// through self, `key in self._skip()`, a removal by delattr) by its known
// result.  It rests on a decision, and a decision is keyed on exactly what
// it depends on:
//   * the type: its identity and version tag.  Any change to the type or to
//     a base gives it a new tag, so what a type resolves a name to is cached
//     per (type, tag) and the tag is checked on every use.  And only a type
//     whose lookups run no code: every dict along its MRO has only exact str
//     keys (a str subclass among a class's keys runs its __eq__ in lookups);
//   * the instance: an ordinary instance (its type keeps a managed __dict__
//     and it is not itself a class, whose dict is the type's own), no entry
//     of the name in its dict, and only exact str keys in that dict, so that
//     probing it runs no code;
//   * the callable: one of our own function objects (immutable), or for
//     _skip the builtin staticmethod of our class still holding our function
//     (staticmethod.__init__ can swap it in place, so that is asked each time).
// A decision holds only until Python code can run.  Code runs when we call
// anything that is not ours, hash or compare a key that is not an exact str,
// drop the last reference to an object (finalizers and weakref callbacks;
// a collection may start there too), read an attribute through a user
// descriptor or a metaclass, or change a dict that another extension's
// watcher watches: the interpreter runs every watcher of a dict inside each
// change of it (PyDict_SetItem, PyDict_Pop, PyDict_DelItem, a clear...), and
// a callback may run anything, the store's own methods included, while the
// change is half made.  After any such step the decision is made again or
// the literal path is taken.  No watch of ours is started while code of
// that kind may be running on the dict (see the hiding watch below).  So
// decisions are values used at once (Resolved, PlainDict, read_setting), or
// kept by an object that forgets them at every step that may run code
// (SkipRule in setup.hpp).
//
// References: a walk holds its next key and value before it lets go of the
// previous ones (DictItems); a borrowed answer from a type or dict lookup is
// held before anything can run.  A class's own dict is never written to:
// anything that is not an ordinary instance goes the literal way, and the
// interpreter refuses (read-only mappingproxy, "can't apply this
// __delattr__") what must be refused.
//
// Recursion: every body runs inside a Depth scope (runtime/depth.hpp), which
// bounds it by the interpreter's count and by this thread's C stack.
#include "store/resolve.hpp"
#include "store/setup.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace vm {

#ifdef VAR_MAIN_CHECK_DECISIONS
namespace fresh_detail {
unsigned long calls_out = 0;

void
stale() noexcept
{
    Py_FatalError("var_main: a decision was used after code could run");
}
}  // namespace fresh_detail
#endif

namespace resolve_detail {

// The record of `tp` in its slot, made again when the slot holds another
// type or an older version of this one.  Out of line: the hit is inlined
// into every caller.
[[gnu::noinline]] TypeInfo&
refresh(TypeInfo& e, PyTypeObject* tp) noexcept
{
    const ClassRecord& cls = state().cls;
    const Names& n = names();
    // A type whose lookups may run code (mro_keys_plain) is never plain:
    // nothing is looked up for it here, and its callers take the literal
    // lookups.  The type still gets a version, so that this record holds.
    PyUnstable_Type_AssignVersionTag(tp);
    const bool keys_plain = cpy::mro_keys_plain(tp);
    PyObject* getattribute = keys_plain ? cpy::type_lookup(tp, n.dunder_getattribute) : nullptr;
    const bool lookup_plain =
        keys_plain && is_ordinary_type(tp) &&
        (tp->tp_getattro == cls.hook || tp->tp_getattro == PyObject_GenericGetAttr) &&
        getattribute == cls.object_getattribute && cls.hook != nullptr;
    e.tp = tp;
    e.tag = cpy::version_tag(tp);  // 0 if none could be given: never cached
    e.used = 0;
    std::fill(std::begin(e.names), std::end(e.names), nullptr);
    e.lookup_plain = lookup_plain;
    // Our __dict__ slot, on a store: the slot refuses any other object (a
    // class may borrow it), so `self.__dict__` is the instance dict only for
    // instances of our class.
    e.dict_plain = lookup_plain && cpy::type_lookup(tp, n.dunder_dict) == cls.dict_descr &&
                   cls.type != nullptr && PyType_IsSubtype(tp, cls.type);
    e.delattr_plain = lookup_plain && cpy::type_lookup(tp, n.dunder_delattr) == cls.object_delattr;
    e.removal_plain = -1;
    e.keys_get_own = -1;
    e.add_own = -1;
    e.fill_own = -1;
    return e;
}

// _PyType_Lookup(tp, name) for a name not in the record yet, remembered for
// the type's current version in `slot`.
[[gnu::noinline]] PyObject*
lookup_slow(TypeInfo& e, PyTypeObject* tp, PyObject* name, std::uintptr_t slot) noexcept
{
    PyObject* found = cpy::type_lookup(tp, name);
    if (e.tp == tp && e.tag != 0 && e.tag == cpy::version_tag(tp) &&
        e.used < TypeInfo::kSlots / 2) {
        e.names[slot] = name;
        e.found[slot] = found;
        ++e.used;
    }
    return found;
}

}  // namespace resolve_detail

bool
record_class(PyObject* cls) noexcept
{
    ClassRecord& r = state().cls;
    const Names& n = names();
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    r.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    r.hook = tp->tp_getattro;
    r.setattr_slot = tp->tp_setattro;
    r.object_getattribute = cpy::type_lookup(&PyBaseObject_Type, n.dunder_getattribute);
    r.object_delattr = cpy::type_lookup(&PyBaseObject_Type, n.dunder_delattr);
    r.dict_descr = Py_XNewRef(cpy::type_lookup(tp, n.dunder_dict));
    r.skip_static = Py_XNewRef(cpy::type_lookup(tp, n.skip));
    r.skip_fn = PyObject_GetAttr(cls, n.skip);
    if (r.object_getattribute == nullptr || r.dict_descr == nullptr || r.skip_static == nullptr ||
        r.skip_fn == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "TesselVarMain lacks its own parts");
        }
        return false;
    }
    return true;
}

namespace {

bool
removal_asked(PyTypeObject* tp) noexcept
{
    bool plain = delattr_is_plain(tp);
    const PublicClass& pc = state().public_class;
    PyObject* mro = tp->tp_mro;
    for (Py_ssize_t i = 0; plain && mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref d =
            Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (plain && d && PyDict_Next(d.get(), &pos, &key, &value)) {
            plain =
                Py_TYPE(value)->tp_descr_set == nullptr || value == pc.add || value == pc.keys ||
                value == pc.get ||
                (Py_IS_TYPE(value, &PyGetSetDescr_Type) && PyUnicode_Check(key) && is_dunder(key));
        }
    }
    return plain;  // the walk ran no code
}

}  // namespace

bool
removal_is_plain(PyTypeObject* tp) noexcept
{
    return per_version(tp, &TypeInfo::removal_plain, removal_asked);
}

// --- The instance dict --------------------------------------------------------

Ref
read_setting(PyObject* self, PyObject* name) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    if (!lookup_is_plain(tp) || type_attr(tp, name) != nullptr) {
        return Ref();
    }
    Ref d = Ref::steal(cpy::object_dict(self));
    if (!d || !cpy::dict_has_only_str_keys(d.get())) {
        PyErr_Clear();
        return Ref();  // with only str keys the probe runs no code
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(d.get(), name, &value) < 0) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(value);  // empty when absent: the literal lookup runs
}

// --- Calls through self --------------------------------------------------------

Ref
Resolved::call(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
               PyObject* kwnames, PyThreadState* ts) && noexcept
{
    if (via_ == Via::Failed) {
        return Ref();
    }
    PyObject* fn = function();
    code_may_run();
    // stack[0] is spare, for the callee's use (ARGUMENTS_OFFSET).
    PyObject* stack[kMaxParams + 3];
    stack[0] = nullptr;
    stack[1] = self;
    std::size_t n = 1;
    for (PyObject* a : args) {
        stack[1 + n++] = a;
    }
    const auto total = static_cast<Py_ssize_t>(n);
    if (via_ == Via::Bound) {
        Ref hold = Ref::borrow(fn);
        return Ref::steal(call_own(fn, stack + 1, total, kwnames, ts));
    }
    if (via_ == Via::Static) {
        return Ref::steal(call_own(fn, stack + 2, total - 1, kwnames, ts));
    }
    std::size_t npos = n;
    if (kwnames != nullptr) {
        npos -= static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    }
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Resolved
resolve_setattr(PyTypeObject* tp) noexcept
{
    const ClassRecord& cls = state().cls;
    if (tp->tp_setattro != cls.setattr_slot || cls.setattr_slot == nullptr ||
        !lookup_is_plain(tp)) {
        return {nullptr, Via::Lookup};
    }
    PyObject* fn = type_attr(tp, names().dunder_setattr);
    if (is_our_method(fn, Def::setattr_hook)) {
        return {fn, Via::Bound};
    }
    return {nullptr, Via::Lookup};
}

// --- The hiding watch ------------------------------------------------------
// Most stores never hold a variable named like one of our methods, yet every
// resolution has to ask their dict.  A store dict we watch has no key equal
// to a method name: the watch is dropped, for good, when such a key or any
// key that is not an exact str is added, or when the dict is filled from
// another in one piece.  The interpreter tells a watcher of every change to
// a dict with its own table (object.__setattr__ on inline values can bypass
// the dict, so only combined tables are watched), and this runs no code.
//
// The interpreter tells the watchers of a dict before it changes it, picks
// which ones to tell before it tells the first, and reads the dict's watch
// bits again only after the last.  A watch started while another watcher's
// callback runs for that dict (its code may resolve a method of the store
// while a hiding name is on its way in) would never hear of that name, and
// nothing tells us whether such a callback is running.  So a watch starts
// only on a dict made for a new store just now, before anything else can
// see it: no change of it can be under way.  Dicts seen later are probed
// on every resolution.  "For good" is kept by a second watcher of ours that
// marks the dicts we drop (a foreign watcher may unwatch itself first).

namespace {

bool
is_method_name(PyObject* key) noexcept
{
    return !PyUnicode_CheckExact(key) || names_a_method(key);
}

int
on_store_dict_change(PyDict_WatchEvent event, PyObject* d, PyObject* key, PyObject*) noexcept
{
    if ((event == PyDict_EVENT_ADDED && is_method_name(key)) || event == PyDict_EVENT_CLONED) {
        const Watch& w = state().watch;
        if (PyDict_Unwatch(w.watcher, d) < 0) {
            PyErr_Clear();  // a valid watcher on a dict: cannot happen
        }
        if (PyDict_Watch(w.dropped, d) < 0) {
            PyErr_Clear();
        }
    }
    return 0;
}

// The mark of a dropped dict: nothing to do when it changes.
int
on_dropped_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    return 0;
}

}  // namespace

void
watch_new_dict(PyObject* d) noexcept
{
    const Watch& w = state().watch;
    if (w.watcher >= 0 && cpy::facilities.watch_bits && PyDict_CheckExact(d) &&
        cpy::dict_is_combined(d) && cpy::dict_watchers(d) == 0) {
        cpy::watch_dict(d, w.watcher);
    }
}

bool
foreign_watchers(PyObject* d) noexcept
{
    const Watch& w = state().watch;
    unsigned ours = 0;
    if (w.watcher >= 0) {
        ours = (1U << w.watcher) | (1U << w.dropped);
    }
    return (cpy::dict_watchers(d) & ~ours) != 0;
}

namespace {

// Our two watchers, checked (the watch bits read as they should), or none:
// all watcher slots taken, or the check failed.  An error only when the
// check could not run.
struct Watchers {
    int watcher = -1;
    int dropped = -1;
    bool failed = false;
};

Watchers
add_watchers() noexcept
{
    const int id = PyDict_AddWatcher(on_store_dict_change);
    const int dropped = id < 0 ? -1 : PyDict_AddWatcher(on_dropped_dict_change);
    if (dropped >= 0 && cpy::check_watch_bits(id) && cpy::facilities.watch_bits) {
        return {id, dropped, false};
    }
    const bool failed = dropped >= 0 && PyErr_Occurred() != nullptr;
    if (!failed) {
        PyErr_Clear();  // all slots taken: every resolution probes
    }
    for (int w : {dropped, id}) {
        if (w >= 0) {
            PyDict_ClearWatcher(w);
        }
    }
    return {-1, -1, failed};
}

}  // namespace

bool
start_hiding_watch() noexcept
{
    Ref set = Ref::steal(PyFrozenSet_New(nullptr));
    if (!set) {
        return false;
    }
    for (const DefName& def : kDefNames) {
        Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
        // Every name the watch answers for starts with "_": a key that
        // does not is let in without a look at the set.
        if (!name || PyUnicode_READ_CHAR(name.get(), 0) != '_' ||
            PySet_Add(set.get(), name.get()) < 0) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "a method name without a leading '_'");
            }
            return false;
        }
    }
    const Watchers added = add_watchers();
    Watch& w = state().watch;
    w.watcher = added.watcher;
    w.dropped = added.dropped;
    w.method_names = set.release();
    return !added.failed;
}

bool
names_a_method(PyObject* name) noexcept
{
    if (!begins_with_underscore(name) || is_setting_name(name)) {
        return false;  // every method name starts with one; no setting is one
    }
    const int found = PySet_Contains(state().watch.method_names, name);
    if (found < 0) {
        PyErr_Clear();
    }
    return found != 0;
}

// --- The public class ------------------------------------------------------------

bool
resolve_detail::keys_and_get_are_own(PyTypeObject* tp) noexcept
{
    // A class that borrowed the descriptors without deriving from TesselVar
    // gets the descriptors' own refusal: only TesselVar's kind qualifies.
    // Reading `x.keys` and `x.get` must run nothing but the descriptors.
    const PublicClass& pc = state().public_class;
    const Names& n = names();
    return pc.type != nullptr && PyType_IsSubtype(tp, pc.type) && lookup_is_plain(tp) &&
           type_attr(tp, n.keys) == pc.keys && type_attr(tp, n.get) == pc.get;
}

bool
resolve_detail::add_is_own(PyTypeObject* tp) noexcept
{
    // Reading `x.add` must run nothing either: a __getattribute__ of the
    // class runs before the entries are unpacked for the call.
    const PublicClass& pc = state().public_class;
    return pc.type != nullptr && PyType_IsSubtype(tp, pc.type) && lookup_is_plain(tp) &&
           type_attr(tp, names().add) == pc.add;
}

}  // namespace vm

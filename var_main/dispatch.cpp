// var_main/dispatch.cpp: resolving `self.<name>` from its parts.
//
// The rules every fast path of this module follows.
//
// A fast path replaces a literal step (an attribute lookup on self, a call
// through self, `key in self._skip()`, a removal by delattr) by its known
// result.  It rests on a decision, and a decision is keyed on exactly what
// it depends on:
//   * the type: its identity and version tag.  Any change to the type or to
//     a base gives it a new tag, so what a type resolves a name to is cached
//     per (type, tag) and the tag is checked on every use;
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
// that kind may be running on the dict (see the hiding watch below).  So decisions are returned by value
// and used at once (own_method, own_setting), or kept by an object that
// forgets them at every step that may run code (SkipRule, FastPop).
//
// References: a walk holds its next key and value before it lets go of the
// previous ones (DictWalk); a borrowed answer from a type or dict lookup is
// held before anything can run.  A class's own dict is never written to:
// anything that is not an ordinary instance goes the literal way, and the
// interpreter refuses (read-only mappingproxy, "can't apply this
// __delattr__") what must be refused.
//
// Recursion: every body runs inside a Depth scope (runtime/depth.hpp), which
// bounds it by the interpreter's count and by this thread's C stack.
#include "dispatch.hpp"

#include "methods.hpp"
#include "runtime/function.hpp"
#include "runtime/internals.hpp"
#include "state.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace vm {

namespace {

// The record of `tp` in its slot, made again when the slot holds another
// type or an older version of this one.  Out of line: the hit below is
// inlined into every caller.
[[gnu::noinline]] TypeInfo&
refresh(TypeInfo& e, PyTypeObject* tp) noexcept
{
    PyObject* getattribute = cpy::type_lookup(tp, names.dunder_getattribute);
    bool lookup_plain =
        is_ordinary_type(tp) &&
        (tp->tp_getattro == state.cls.hook ||
         tp->tp_getattro == PyObject_GenericGetAttr) &&
        getattribute == state.cls.object_getattribute && state.cls.hook != nullptr;
    bool dict_plain = lookup_plain && cpy::type_lookup(tp, names.dunder_dict) ==
                                          state.cls.dict_descr;
    e.tp = tp;
    e.tag = cpy::version_tag(tp);  // 0 if none could be given: never cached
    e.used = 0;
    std::fill(std::begin(e.names), std::end(e.names), nullptr);
    e.lookup_plain = lookup_plain;
    e.dict_plain = dict_plain;
    e.delattr_plain = lookup_plain && cpy::type_lookup(tp, names.dunder_delattr) ==
                                          state.cls.object_delattr;
    return e;
}

inline TypeInfo&
info(PyTypeObject* tp) noexcept
{
    TypeInfo& e = state.types[(reinterpret_cast<std::uintptr_t>(tp) >> 4) & 7];
    if (e.tp == tp && e.tag != 0 && e.tag == cpy::version_tag(tp)) [[likely]] {
        return e;
    }
    return refresh(e, tp);
}

// _PyType_Lookup(tp, name) for one of our interned names, remembered for
// the type's current version.
PyObject*
type_lookup(TypeInfo& e, PyTypeObject* tp, PyObject* name) noexcept
{
    constexpr std::uintptr_t mask = TypeInfo::kSlots - 1;
    std::uintptr_t i = (reinterpret_cast<std::uintptr_t>(name) >> 4) & mask;
    while (e.names[i] != nullptr) {  // never full: see below
        if (e.names[i] == name) {
            return e.found[i];
        }
        i = (i + 1) & mask;
    }
    PyObject* found = cpy::type_lookup(tp, name);
    if (e.tp == tp && e.tag != 0 && e.tag == cpy::version_tag(tp) &&
        e.used < TypeInfo::kSlots / 2) {
        e.names[i] = name;
        e.found[i] = found;
        ++e.used;
    }
    return found;
}

}  // namespace

bool
is_ordinary_type(PyTypeObject* tp) noexcept
{
    return (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) &&
           !(tp->tp_flags & Py_TPFLAGS_TYPE_SUBCLASS);
}

bool
is_store_instance(PyObject* obj) noexcept
{
    return state.cls.type != nullptr && PyObject_TypeCheck(obj, state.cls.type);
}

bool
record_class(PyObject* cls) noexcept
{
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    state.cls.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    state.cls.hook = tp->tp_getattro;
    state.cls.setattr_slot = tp->tp_setattro;
    state.cls.object_getattribute =
        cpy::type_lookup(&PyBaseObject_Type, names.dunder_getattribute);
    state.cls.object_delattr =
        cpy::type_lookup(&PyBaseObject_Type, names.dunder_delattr);
    state.cls.dict_descr = Py_XNewRef(cpy::type_lookup(tp, names.dunder_dict));
    state.cls.skip_static = Py_XNewRef(cpy::type_lookup(tp, names.skip));
    state.cls.skip_fn = PyObject_GetAttr(cls, names.skip);
    return state.cls.object_getattribute != nullptr && state.cls.dict_descr != nullptr &&
           state.cls.skip_static != nullptr && state.cls.skip_fn != nullptr;
}

bool
lookup_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).lookup_plain;
}

bool
dict_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).dict_plain;
}

bool
delattr_is_plain(PyTypeObject* tp) noexcept
{
    return info(tp).delattr_plain;
}

bool
is_own(PyObject* fn, Entry entry) noexcept
{
    return fn != nullptr && is_function(fn) && function_spec(fn).entry == entry;
}

bool
is_own_skip(PyObject* fn, int bind) noexcept
{
    // A subclass may hold the bare function (`_skip = TesselVarMain._skip`):
    // it binds, and the literal call fails.  Only the unbound one is ours.
    return fn == state.cls.skip_fn && bind == 0;
}

PyObject*
own_method(PyObject* self, PyObject* name, int* bind) noexcept
{
    *bind = 0;
    PyTypeObject* tp = Py_TYPE(self);
    TypeInfo& e = info(tp);
    if (!e.lookup_plain) {
        return nullptr;
    }
    PyObject* descr = type_lookup(e, tp, name);
    PyObject* fn;
    int binds;
    if (descr == nullptr) {
        return nullptr;
    }
    if (is_function(descr)) {
        fn = descr;
        binds = 1;
    }
    else if (descr == state.cls.skip_static &&
             cpy::staticmethod_callable(descr) == state.cls.skip_fn) {
        fn = state.cls.skip_fn;
        binds = 0;
    }
    else {
        return nullptr;
    }
    // Neither is a data descriptor, so an instance variable comes first.
    // With only exact str keys the probe compares no key with __eq__ and
    // runs no code, so `descr` is still what the type resolves the name to
    // when we answer; otherwise the caller takes the literal lookup.
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d) {
        *bind = -1;
        return nullptr;
    }
    if (!cpy::dict_has_only_str_keys(d.get())) {
        return nullptr;
    }
    int hidden = hidden_in(d.get(), name);
    if (hidden != 0) {
        *bind = hidden < 0 ? -1 : 0;
        return nullptr;
    }
    *bind = binds;
    return fn;
}

Ref
own_setting(PyObject* self, PyObject* name) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    TypeInfo& e = info(tp);
    if (!e.lookup_plain || type_lookup(e, tp, name) != nullptr) {
        return Ref();
    }
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d || !cpy::dict_has_only_str_keys(d.get())) {
        return Ref();  // with only str keys the probe runs no code
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(d.get(), name, &value) < 0) {
        return Ref();
    }
    return Ref::steal(value);  // empty when absent: the literal lookup runs
}

Ref
plain_dict(PyObject* self) noexcept
{
    TypeInfo& e = info(Py_TYPE(self));
    if (!e.dict_plain) {
        return Ref();
    }
    // An exact dict: a subclass's own __setitem__, __contains__ ... are what
    // the literal item operations would call.
    Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!d || !PyDict_CheckExact(d.get()) ||
        !cpy::dict_has_only_str_keys(d.get())) {
        PyErr_Clear();
        return Ref();
    }
    return d;
}

PyObject*
type_attr(PyTypeObject* tp, PyObject* name) noexcept
{
    return type_lookup(info(tp), tp, name);
}

bool
own_in_dict(PyObject* self, PyObject* d, PyObject* name, Entry entry) noexcept
{
    PyObject* fn = type_attr(Py_TYPE(self), name);
    if (entry == nullptr) {
        if (fn != state.cls.skip_static ||
            cpy::staticmethod_callable(fn) != state.cls.skip_fn) {
            return false;
        }
    }
    else if (!is_own(fn, entry)) {
        return false;
    }
    return hidden_in(d, name) == 0;  // only str keys: no code, no error
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
    if (!PyUnicode_CheckExact(key)) {
        return true;
    }
    if (PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_') {
        return false;  // every method we resolve starts with one
    }
    int found = PySet_Contains(state.method_names, key);
    if (found < 0) {
        PyErr_Clear();
    }
    return found != 0;
}

int
on_store_dict_change(PyDict_WatchEvent event, PyObject* d, PyObject* key,
                     PyObject*) noexcept
{
    if ((event == PyDict_EVENT_ADDED && is_method_name(key)) ||
        event == PyDict_EVENT_CLONED) {
        if (PyDict_Unwatch(state.watcher, d) < 0) {
            PyErr_Clear();  // a valid watcher on a dict: cannot happen
        }
        if (PyDict_Watch(state.dropped, d) < 0) {
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

// One of the names the watch answers for (by identity: callers pass our
// interned names; a method bound under another name is probed).
bool
answered(PyObject* name) noexcept
{
    for (PyObject* n : state.watched_names) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool
under_hiding_watch(PyObject* d) noexcept
{
    return state.watcher >= 0 && cpy::dict_watched(d, state.watcher);
}

int
hidden_in(PyObject* d, PyObject* name) noexcept
{
    if (state.watcher >= 0 && cpy::dict_watched(d, state.watcher) && answered(name)) {
        return 0;
    }
    return PyDict_Contains(d, name);
}

void
watch_new_dict(PyObject* d) noexcept
{
    if (state.watcher < 0 || !cpy::facilities.watch_bits || !PyDict_CheckExact(d) ||
        !cpy::dict_is_combined(d) || cpy::dict_watchers(d) != 0) {
        return;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        // A new store holds only its settings, under our own names.
        if (key != names.i_c_u && key != names.g_n_r && key != names.g_n_i &&
            key != names.g_n_s && is_method_name(key)) {
            return;
        }
    }
    if (PyDict_Watch(state.watcher, d) < 0) {
        PyErr_Clear();
    }
}

bool
foreign_watchers(PyObject* d) noexcept
{
    unsigned ours = 0;
    if (state.watcher >= 0) {
        ours = (1u << state.watcher) | (1u << state.dropped);
    }
    return (cpy::dict_watchers(d) & ~ours) != 0;
}

bool
start_hiding_watch(std::initializer_list<PyObject*> resolved) noexcept
{
    Ref set = Ref::steal(PyFrozenSet_New(nullptr));
    if (!set) {
        return false;
    }
    for (const MethodSpec& spec : method_table()) {
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
        if (!name || PySet_Add(set.get(), name.get()) < 0) {
            return false;
        }
    }
    if (resolved.size() > std::size(state.watched_names)) {
        return true;
    }
    for (PyObject* name : resolved) {
        if (PySet_Contains(set.get(), name) != 1 ||
            PyUnicode_READ_CHAR(name, 0) != '_') {
            return true;  // a name the watch would not see: no watch
        }
    }
    int id = PyDict_AddWatcher(on_store_dict_change);
    if (id < 0) {
        PyErr_Clear();  // all taken: every resolution probes
        return true;
    }
    int dropped = PyDict_AddWatcher(on_dropped_dict_change);
    if (dropped < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(id);
        return true;
    }
    if (!cpy::check_watch_bits(id)) {
        PyDict_ClearWatcher(dropped);
        PyDict_ClearWatcher(id);
        return false;
    }
    if (!cpy::facilities.watch_bits) {
        PyDict_ClearWatcher(dropped);
        PyDict_ClearWatcher(id);
        return true;
    }
    std::copy(resolved.begin(), resolved.end(), std::begin(state.watched_names));
    state.method_names = set.release();
    state.watcher = id;
    state.dropped = dropped;
    return true;
}

}  // namespace vm

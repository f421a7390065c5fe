// runtime/internals.hpp: the one door to CPython 3.13's private and
// internal facilities.
//
// Nothing else in the module names a `_Py` function, reads a field of an
// interpreter structure or assumes a memory layout the public API does not
// promise.  Each facility below says why the public API does not serve and
// how it is checked: verify() runs once at start-up and compares every
// layout-dependent reading with the public answer on objects whose answer is
// known.  A facility that fails its check is not used; the code falls back
// to the public (slower) way, so a newer interpreter degrades instead of
// misbehaving.  Moving to another CPython version means reading this file
// and internals.cpp, nothing else.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

// Exported by 3.13 but declared only in its internal headers, which need
// Py_BUILD_CORE.  The declarations are copied from there.
// NOLINTBEGIN(bugprone-reserved-identifier): the interpreter's own names.
extern "C" {
PyAPI_FUNC(int) _Py_CheckRecursiveCall(PyThreadState* tstate, const char* where);
PyAPI_FUNC(void) _PyUnicode_InternMortal(PyInterpreterState* interp, PyObject** p);
PyAPI_FUNC(int) _PyDict_MergeEx(PyObject* mp, PyObject* other, int override);
PyAPI_FUNC(void) _PyEval_FormatKwargsError(PyThreadState* tstate, PyObject* func, PyObject* kwargs);
}
// NOLINTEND(bugprone-reserved-identifier)

namespace vm::cpy {

// Runs the start-up checks.  Returns false only with an exception set
// (a failed check is not an error: it switches the facility off).  Both
// extension modules include this door; each runs the checks once at its
// start-up and keeps their answers here.
bool verify() noexcept;

// What the checks found (set by verify()).
struct Facilities {
    bool keys_kind = false;
    bool staticmethod = false;
    bool recursion = false;
    bool watch_bits = false;
    bool dict_entries = false;
    bool managed_dict = false;
};
extern Facilities facilities;

// --- Type attribute lookup ---------------------------------------------------
// _PyType_Lookup: the name along the MRO, borrowed, through the interpreter's
// type cache, running no descriptor and no metaclass hook.  The public
// alternatives (PyObject_GetAttr on the type, or walking tp_mro with
// PyDict_GetItemRef) either run code or cost a dict probe per base on every
// call.  Its answer is valid while the type's version tag is unchanged.
// Exported by 3.13 and used the same way by the interpreter's own modules.
inline PyObject*
type_lookup(PyTypeObject* tp, PyObject* name) noexcept
{
    return _PyType_Lookup(tp, name);
}

// tp_version_tag: the interpreter gives a type a new tag whenever it or a
// base changes (0 when none could be given).  Public field, internal rule.
inline unsigned int
version_tag(PyTypeObject* tp) noexcept
{
    return tp->tp_version_tag;
}

// --- The recursion count -----------------------------------------------------
// Py_EnterRecursiveCall and Py_LeaveRecursiveCall are exported functions that
// each fetch the thread state; the interpreter's own inline versions count
// down tstate->c_recursion_remaining and call _Py_CheckRecursiveCall (kept
// exported for the stdlib's _json) only when it runs out.  A level of ours
// fetches the thread state once and does the same.  Checked at start-up
// against the public pair; when the check fails these call it instead.
inline bool
enter_recursive(PyThreadState* ts, const char* where) noexcept
{
    if (!facilities.recursion) {
        return Py_EnterRecursiveCall(where) != 0;
    }
    return ts->c_recursion_remaining-- < 0 && _Py_CheckRecursiveCall(ts, where) != 0;
}

// How many more levels enter_recursive() allows before it fails, minus
// one; -1 when unknown.
inline int
recursion_room(PyThreadState* ts) noexcept
{
    return facilities.recursion ? ts->c_recursion_remaining : -1;
}

inline void
leave_recursive(PyThreadState* ts) noexcept
{
    if (!facilities.recursion) {
        Py_LeaveRecursiveCall();
        return;
    }
    ts->c_recursion_remaining++;
}

// --- Dict watchers ---------------------------------------------------------------
// Is `d` watched by `watcher`?  The public API can watch and unwatch but
// not ask; the interpreter keeps one bit per watcher in the low bits of the
// dict's version field.  Checked at start-up by watching a dict and
// unwatching it; when the check fails the answer is always no.
inline bool
dict_watched(PyObject* d, int watcher) noexcept
{
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return facilities.watch_bits &&
           ((reinterpret_cast<PyDictObject*>(d)->ma_version_tag >> watcher) & 1) != 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Every watcher of `d`, one bit each: the low eight bits of that field (the
// interpreter's limit on dict watchers); all set when the check failed.
inline unsigned
dict_watchers(PyObject* d) noexcept
{
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return facilities.watch_bits
               ? static_cast<unsigned>(reinterpret_cast<PyDictObject*>(d)->ma_version_tag & 0xFF)
               : 0xFFu;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// PyDict_Watch(watcher, d) for a valid watcher and an exact dict: the bit
// set directly, without the checks, when the bits read as they should.
inline void
watch_dict(PyObject* d, int watcher) noexcept
{
    if (!facilities.watch_bits) {
        if (PyDict_Watch(watcher, d) < 0) {
            PyErr_Clear();
        }
        return;
    }
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    reinterpret_cast<PyDictObject*>(d)->ma_version_tag |= std::uint64_t{1} << watcher;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// A combined table: values beside the keys, not an object's inline values
// (whose stores by object.__setattr__ may bypass the dict).  Public field.
inline bool
dict_is_combined(PyObject* d) noexcept
{
    return reinterpret_cast<PyDictObject*>(d)->ma_values == nullptr;
}

// Runs the check above for a watcher of ours (once, at start-up).
bool check_watch_bits(int watcher) noexcept;

// --- Attribute names ------------------------------------------------------------
// PyObject_SetAttr interns the name mortally before it stores it; a store
// that skips it must do the same so that the key kept in the dict is the
// same object.  The public PyUnicode_InternInPlace makes the string immortal
// in 3.13, which the interpreter's own path does not.
// Returns a new reference to the name as setattr stores it.
inline PyObject*
interned_name(PyInterpreterState* interp, PyObject* name) noexcept
{
    Py_INCREF(name);
    if (PyUnicode_CHECK_INTERNED(name) == SSTATE_NOT_INTERNED) {
        _PyUnicode_InternMortal(interp, &name);
    }
    return name;
}

// --- Keyword arguments ----------------------------------------------------------
// `f(**m)` for a mapping that is not an exact dict: the interpreter merges
// it into a new dict refusing a key twice (a subclass's keys() may repeat
// one), and words a failure as the call's own ("argument after ** must be a
// mapping", "got multiple values for keyword argument").  PyDict_Merge
// overwrites repeats and leaves the failure as raised.
inline Ref
kwargs_of(PyObject* func, PyObject* mapping) noexcept
{
    Ref d = Ref::steal(PyDict_New());
    if (d && _PyDict_MergeEx(d.get(), mapping, 2) < 0) {
        _PyEval_FormatKwargsError(PyThreadState_Get(), func, mapping);
        return Ref();
    }
    return d;
}

// --- Heap type names ------------------------------------------------------------
// type.__name__ of a heap type is ht_name (PyType_GetName makes a new
// reference each call).  May be a str subclass after `cls.__name__ = ...`.
inline PyObject*
heap_type_name(PyTypeObject* tp) noexcept
{
    return reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name;
}

// --- Dicts ------------------------------------------------------------------
// Are all keys of an exact dict exact str?  The kind byte of the keys table
// says so in O(1); the public way is a scan.  Checked at start-up against
// dicts whose kind is known; otherwise this scans.  Inline: the fast paths
// ask it on every call.
struct KeysHead {  // the head of a dict's keys table in CPython 3.13
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;  // 0 general, 1 str keys only, 2 split (str only)
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    // Then the index table, 1 << log2_index_bytes bytes, then the entries.
};

inline int
keys_kind(PyObject* d) noexcept
{
    return reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(d)->ma_keys)->kind;
}

bool scan_for_str_keys(PyObject* d) noexcept;

// The entries of an exact dict whose combined table holds str keys only,
// in insertion order: a key and its value, the value NULL where an entry
// was removed.  PyDict_Next makes a call and several checks per entry; a
// walk that runs no code between its steps can read them in place.  The
// array is valid until the dict changes.  nullptr for any other dict (split
// tables, other keys), or when the start-up check found another layout:
// walk those with PyDict_Next.
struct StrEntry {
    PyObject* key;
    PyObject* value;
};

inline const StrEntry*
str_entries(PyObject* d, Py_ssize_t* count) noexcept
{
    if (!facilities.dict_entries || !PyDict_CheckExact(d) ||
        reinterpret_cast<PyDictObject*>(d)->ma_values != nullptr) {
        return nullptr;
    }
    const auto* keys =
        reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    if (keys->kind != 1) {
        return nullptr;
    }
    *count = keys->nentries;
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(KeysHead);
    return reinterpret_cast<const StrEntry*>(indices + (std::size_t{1} << keys->log2_index_bytes));
}

[[gnu::always_inline]] inline bool
dict_has_only_str_keys(PyObject* d) noexcept
{
    if (facilities.keys_kind && PyDict_CheckExact(d)) {
        return keys_kind(d) != 0;
    }
    return scan_for_str_keys(d);
}

// Does looking a name up on `tp` (_PyType_Lookup) run no Python code?  It
// compares the name with the keys of equal hash in each dict along the MRO:
// with only exact str keys there, no key's __eq__ runs.  A class statement's
// namespace (or type()'s) may hold a str subclass, whose __eq__ then runs in
// every lookup of a name of the same hash.  The interpreter's own static
// types keep their dicts elsewhere (tp_dict NULL), with str keys only.
inline bool
mro_keys_plain(PyTypeObject* tp) noexcept
{
    PyObject* mro = tp->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return false;
    }
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyObject* d = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (d != nullptr && !dict_has_only_str_keys(d)) {
            return false;
        }
    }
    return true;
}

// --- Descriptors --------------------------------------------------------------
// The C slot behind a getset descriptor (`__dict__` of a class made by
// type()), to set an instance's dict without the attribute machinery; the
// descriptor struct is in the non-limited API but undocumented.
inline PyGetSetDef*
getset_def(PyObject* descr) noexcept
{
    return Py_IS_TYPE(descr, &PyGetSetDescr_Type)
               ? reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset
               : nullptr;
}

// --- An object's dict ---------------------------------------------------------
// `obj.__dict__ = d` on an object just allocated, of a class whose instances
// keep their attributes inline until they get a dict (Py_TPFLAGS_INLINE_VALUES):
// the interpreter's setter marks the inline values invalid after clearing
// each of their slots, all empty on an object no attribute was ever stored
// in (`size` counts the slots used).  Here the dict goes straight into its
// pointer, which sits before the object's GC header, and the `valid` byte of
// the inline values, which follow the object's header, is cleared.  Checked
// at start-up on a class made by type(): the object reads its attributes from
// the dict, stores new ones there, and gives it back when it dies.  False
// when the object is not in that state or the check failed: the caller sets
// the dict the public way.  The same check covers object_dict() above.
struct InlineValues {  // dictobject.c's PyDictValues in CPython 3.13
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
};

// Where an object of a class with a managed dict keeps the pointer to it.
inline PyObject**
managed_dict_slot(PyObject* obj) noexcept
{
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) - 3 * sizeof(PyObject*));
}

// PyObject_GenericGetDict(obj, nullptr) for an object of a class with a
// managed dict, without the call when the object has its dict already (the
// common case: every store gets one when it is set up).  A new reference,
// or nullptr with an error set.
[[gnu::always_inline]] inline PyObject*
object_dict(PyObject* obj) noexcept
{
    if (facilities.managed_dict && PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) {
        PyObject* d = *managed_dict_slot(obj);
        if (d != nullptr) {
            return Py_NewRef(d);
        }
    }
    return PyObject_GenericGetDict(obj, nullptr);
}

inline bool
set_first_dict(PyObject* obj, PyObject* d) noexcept
{
    constexpr unsigned long kFlags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_INLINE_VALUES;
    PyTypeObject* tp = Py_TYPE(obj);
    if (!facilities.managed_dict || (tp->tp_flags & kFlags) != kFlags ||
        tp->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyObject)) || !PyDict_CheckExact(d)) {
        return false;
    }
    PyObject** dict = managed_dict_slot(obj);
    auto* values = reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
    if (*dict != nullptr || values->valid != 1 || values->size != 0) {
        return false;
    }
    *dict = Py_NewRef(d);
    values->valid = 0;
    return true;
}

// --- Lists ------------------------------------------------------------------
// The item array of a list made by PyList_New(n), for filling it in place
// while the list is not yet visible to any code (PyList_SET_ITEM's storage;
// the macro alone cannot write past a size we lowered).
inline PyObject**
list_items(PyObject* list) noexcept
{
    return reinterpret_cast<PyListObject*>(list)->ob_item;
}

// --- Code objects -------------------------------------------------------------
// co_consts of a code object made by the compiler: the public attribute
// lookup would do, but needs an attribute call for something the struct
// holds; kept here for one place to look.
inline PyObject*
code_consts(PyObject* code) noexcept
{
    return reinterpret_cast<PyCodeObject*>(code)->co_consts;
}

// --- staticmethod -------------------------------------------------------------
// The callable inside a builtin staticmethod.  `staticmethod.__init__` can be
// called again on a live object and swap it, so "is this still our _skip"
// must be asked every time; the public answer (`__func__`) is an attribute
// lookup.  The struct is private to funcobject.c; checked at start-up.
// Returns a borrowed reference, or nullptr when the layout is unknown.
struct StaticMethod {  // funcobject.c's staticmethod object
    PyObject_HEAD PyObject* callable;
    PyObject* dict;
};

inline PyObject*
staticmethod_callable(PyObject* sm) noexcept
{
    if (!facilities.staticmethod || !Py_IS_TYPE(sm, &PyStaticMethod_Type)) {
        return nullptr;
    }
    return reinterpret_cast<StaticMethod*>(sm)->callable;
}

// --- Text building ---------------------------------------------------------------
// _PyUnicodeWriter: builds a str of any kind in place with overallocation.
// The public PyUnicodeWriter arrives in 3.14; in 3.13 the alternative is a
// list of pieces and PyUnicode_Join, which allocates every piece twice.
class TextWriter {
public:
    TextWriter() noexcept;
    ~TextWriter();
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    bool ascii(const char* text, Py_ssize_t len) noexcept;
    bool str(PyObject* text) noexcept;
    // The text written, or nullptr with an error set.  Call once.
    PyObject* finish() noexcept;

private:
    _PyUnicodeWriter w_;
    bool done_ = false;
};

}  // namespace vm::cpy

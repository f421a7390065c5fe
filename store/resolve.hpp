// store/resolve.hpp: the decisions every fast path rests on.
//
// Methods call one another through `self`, so that subclass overrides and
// variables hiding a method take effect.  Done literally, every such call
// looks the name up through __getattr__'s slot and allocates a bound method.
// Here the same resolution is made from its parts: when the type keeps
// object's __getattribute__, the name is found on the type as one of our
// function objects (a non-data descriptor), and the instance dict has no
// entry of that name, then `self.<name>(...)` is exactly a call of that
// function with `self` in front.  In every other case the caller takes the
// literal lookup.  The rules all of this follows are written at the top of
// resolve.cpp.
#pragma once

#include "runtime/function.hpp"
#include "runtime/internals.hpp"
#include "store/lines.hpp"
#include "store/state.hpp"

#include <initializer_list>

namespace vm {

// --- Valid until code runs ----------------------------------------------------
// A decision holds only until Python code can run.  The types below hand one
// out as a value that is used at once; with VAR_MAIN_CHECK_DECISIONS (the
// sanitizer build) each one remembers how many times our code had called
// out when it was made, and refuses to be read after another call out.
// code_may_run() is that count: every helper of ours that calls out ticks it.
#ifdef VAR_MAIN_CHECK_DECISIONS
namespace fresh_detail {
extern unsigned long calls_out;
[[noreturn]] void stale() noexcept;
}  // namespace fresh_detail
inline void
code_may_run() noexcept
{
    ++fresh_detail::calls_out;
}
class Stamp {
public:
    void check() const noexcept
    {
        if (made_ != fresh_detail::calls_out) {
            fresh_detail::stale();
        }
    }

private:
    unsigned long made_ = fresh_detail::calls_out;
};
#else
inline void
code_may_run() noexcept
{
}
class Stamp {
public:
    void check() const noexcept {}
};
#endif

// What a shortcut did: the whole step (or failed, with the traceback entries
// the calls would have left), or nothing because the step is not ours to
// shortcut: then the caller takes the literal path.
enum class [[nodiscard]] Tried : std::int8_t{Error = -1, NotMine = 0, Done = 1};

// --- Types ----------------------------------------------------------------------

// An ordinary instance's type: it keeps a managed __dict__ and is not a
// metaclass (a class's dict is its type's own, never written directly).
inline bool
is_ordinary_type(PyTypeObject* tp) noexcept
{
    return (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) && !(tp->tp_flags & Py_TPFLAGS_TYPE_SUBCLASS);
}

// Is `obj` an instance of TesselVarMain (or of a subclass)?
inline bool
is_store_instance(PyObject* obj) noexcept
{
    PyTypeObject* base = state().cls.type;
    return base != nullptr && PyObject_TypeCheck(obj, base);
}

// Records what the class looks like when we made it.  False with an error.
bool record_class(PyObject* cls) noexcept;

namespace resolve_detail {
TypeInfo& refresh(TypeInfo& e, PyTypeObject* tp) noexcept;
PyObject* lookup_slow(TypeInfo& e, PyTypeObject* tp, PyObject* name, std::uintptr_t slot) noexcept;

inline TypeInfo&
info(PyTypeObject* tp) noexcept
{
    TypeInfo& e = state().types[(reinterpret_cast<std::uintptr_t>(tp) >> 4) & 7];
    if (e.tp == tp && e.tag != 0 && e.tag == cpy::version_tag(tp)) [[likely]] {
        return e;
    }
    return refresh(e, tp);
}
}  // namespace resolve_detail

// What the type alone resolves one of our interned names to (borrowed,
// cached per version tag; nullptr when nothing).
inline PyObject*
type_attr(PyTypeObject* tp, PyObject* name) noexcept
{
    using namespace resolve_detail;
    TypeInfo& e = info(tp);
    constexpr std::uintptr_t mask = TypeInfo::kSlots - 1;
    std::uintptr_t i = (reinterpret_cast<std::uintptr_t>(name) >> 4) & mask;
    while (e.names[i] != nullptr) {  // never full: half at most
        if (e.names[i] == name) {
            return e.found[i];
        }
        i = (i + 1) & mask;
    }
    return lookup_slow(e, tp, name, i);
}

// Does ordinary attribute lookup on instances of `tp` behave like object's
// (an ordinary instance, no __getattribute__ override)?
inline bool
lookup_is_plain(PyTypeObject* tp) noexcept
{
    return resolve_detail::info(tp).lookup_plain;
}

// ...and is `__dict__` the standard descriptor, so that `self.__dict__` is
// the instance dict?
inline bool
dict_is_plain(PyTypeObject* tp) noexcept
{
    return resolve_detail::info(tp).dict_plain;
}

// ...and is deletion object's own (no __delattr__ override)?
inline bool
delattr_is_plain(PyTypeObject* tp) noexcept
{
    return resolve_detail::info(tp).delattr_plain;
}

// Is `obj` our function of the method defined at `def` (a method, not the
// bare function of our static _skip)?
inline bool
is_our_method(PyObject* obj, Def def) noexcept
{
    return obj != nullptr && is_function(obj) && function_spec(obj).line == line_of(def) &&
           function_spec(obj).kind == Kind::Method;
}

// A str whose first character is an underscore.
inline bool
begins_with_underscore(PyObject* s) noexcept
{
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        // The terminating NUL stands in for the first character of "".
        return static_cast<const char*>(PyUnicode_DATA(s))[0] == '_';
    }
    return PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == '_';
}

// A str that begins with two underscores (the dunders and the names
// class bodies mangle).
inline bool
is_dunder(PyObject* s) noexcept
{
    if (PyUnicode_GET_LENGTH(s) < 2) {
        return false;
    }
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(s));
        return c[0] == '_' && c[1] == '_';
    }
    return PyUnicode_READ_CHAR(s, 0) == '_' && PyUnicode_READ_CHAR(s, 1) == '_';
}

// Does `delattr(x, name)` on a store of `tp` that holds a variable `name`
// only take the variable out of its dict, for every name that is not a
// dunder?  So when deletion is object's own and every data descriptor the
// type has is the public class's own add, keys or get (whose deletion is
// that removal) or a getset whose name begins with two underscores, such
// as `__dict__`,
// whose deletion is something else: a dunder name is asked about on its
// own (is_dunder, then the type's lookup).  Asked once per version of the
// type.
bool removal_is_plain(PyTypeObject* tp) noexcept;

// --- The instance dict ------------------------------------------------------------

// The instance dict of `self` when attribute lookup on it is plain (an
// ordinary instance, object's __getattribute__, the standard __dict__), it is
// an exact dict, and every key is an exact str, so that probing it runs no
// code; empty otherwise (no error set).  Valid until code runs.
class [[nodiscard]] PlainDict {
public:
    PlainDict() noexcept = default;  // none
    explicit PlainDict(PyObject* self) noexcept
    {
        if (!dict_is_plain(Py_TYPE(self))) {
            return;
        }
        // An exact dict: a subclass's own __setitem__, __contains__ ... are
        // what the literal item operations would call.
        d_ = Ref::steal(cpy::object_dict(self));
        if (!d_ || !PyDict_CheckExact(d_.get()) || !cpy::dict_has_only_str_keys(d_.get())) {
            PyErr_Clear();
            d_.reset();
        }
    }
    explicit operator bool() const noexcept { return static_cast<bool>(d_); }
    PyObject* get() const noexcept
    {
        stamp_.check();
        return d_.get();
    }
    // Lets go of the dict (its owner may drop it meanwhile).
    void reset() noexcept { d_.reset(); }

private:
    Ref d_;
    Stamp stamp_;
};

// `self.__dict__` by ordinary attribute lookup.
inline Ref
instance_dict(PyObject* self) noexcept
{
    if (dict_is_plain(Py_TYPE(self))) {
        return Ref::steal(cpy::object_dict(self));
    }
    code_may_run();
    return Ref::steal(PyObject_GetAttr(self, names().dunder_dict));
}

// A setting such as `_g_n_r` read straight from the instance dict, when
// ordinary lookup would find it there and nowhere else.  A new reference, or
// an empty Ref with no error set when the literal lookup must run.
Ref read_setting(PyObject* self, PyObject* name) noexcept;

// --- The hiding watch ------------------------------------------------------------

// Is one of our method names a key of `d`, a dict with only exact str keys
// (so asking runs no code)?  1, 0, or -1 with an error set.  Answered
// without a probe while `d` is under the hiding watch, which keeps every
// method name out (so `name` must be one: resolve() is asked for methods
// only).
inline bool under_hiding_watch(PyObject* d) noexcept;
inline int
hidden_in(PyObject* d, PyObject* name) noexcept
{
#ifdef VAR_MAIN_CHECK_DECISIONS
    if (state().watch.watcher >= 0 && PySet_Contains(state().watch.method_names, name) != 1) {
        Py_FatalError("var_main: the hiding watch asked for a name that is not a method's");
    }
#endif
    if (under_hiding_watch(d)) {
        return 0;
    }
    return PyDict_Contains(d, name);
}

// Is `d` under the hiding watch now (no key of it is a method name)?
inline bool
under_hiding_watch(PyObject* d) noexcept
{
    const int w = state().watch.watcher;
    return w >= 0 && cpy::dict_watched(d, w);
}

// Starts the hiding watch on `d`, a dict just made for a new store that
// nothing else has seen yet (only then is no change of it under way), and
// that holds only the settings (no method name).
void watch_new_dict(PyObject* d) noexcept;

// Is an exact str the name of one of our methods?
bool names_a_method(PyObject* name) noexcept;

// Does a watcher other than ours watch `d`?  Then every change of `d` runs
// its callback, which may run any code.
bool foreign_watchers(PyObject* d) noexcept;

// Registers the hiding watch, once, at start-up.  False only with an error
// set; without two free watchers the fast paths keep probing.
bool start_hiding_watch() noexcept;

// --- Calls through self -------------------------------------------------------------

// How `self.<name>(...)` is called.
enum class Via : std::uint8_t {
    Lookup,  // the attribute lookup and call must run
    Bound,   // our function, with self in front
    Static,  // our staticmethod's function (_skip), without self
    Failed,  // an error is set
};

// What `self.<name>` resolves to: one of our functions reached the ordinary
// way, or "take the literal lookup".  Valid until code runs; call() uses it
// up.
class [[nodiscard]] Resolved {
public:
    Resolved(PyObject* fn, Via via) noexcept : fn_(fn), via_(via) {}
    Resolved(Resolved&&) noexcept = default;
    Resolved(const Resolved&) = delete;
    Resolved& operator=(const Resolved&) = delete;

    bool failed() const noexcept { return via_ == Via::Failed; }
    Via via() const noexcept { return via_; }
    // Our function of the method defined at `def`?
    bool is(Def def) const noexcept
    {
        stamp_.check();
        if (via_ == Via::Static) {
            return def == Def::skip && fn_ == state().cls.skip_fn;
        }
        // A subclass may hold the bare _skip function (`_skip = T._skip`):
        // it binds, and the literal call fails.  Only the unbound one is ours.
        return via_ == Via::Bound && is_our_method(fn_, def);
    }
    PyObject* function() const noexcept
    {
        stamp_.check();
        return fn_;
    }
    // self.<name>(*args), the trailing `kwnames` by keyword: the function
    // found, or the literal lookup and call.  `ts`: the caller's thread
    // state when it has it.
    Ref call(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
             PyObject* kwnames = nullptr, PyThreadState* ts = nullptr) && noexcept;

private:
    PyObject* fn_;  // borrowed from the type's dicts
    Via via_;
    Stamp stamp_;
};

namespace resolve_detail {
// Our function (or our _skip) behind what the type has under a name.
inline Resolved
ours(PyObject* descr) noexcept
{
    if (descr == nullptr) {
        return {nullptr, Via::Lookup};
    }
    if (is_function(descr)) {
        return {descr, Via::Bound};
    }
    const ClassRecord& cls = state().cls;
    if (descr == cls.skip_static && cpy::staticmethod_callable(descr) == cls.skip_fn) {
        return {cls.skip_fn, Via::Static};
    }
    return {nullptr, Via::Lookup};
}
}  // namespace resolve_detail

// The resolution of `self.<name>`, probing the instance dict for a
// variable of that name.
inline Resolved
resolve(PyObject* self, PyObject* name) noexcept
{
    PyTypeObject* tp = Py_TYPE(self);
    if (!lookup_is_plain(tp)) {
        return {nullptr, Via::Lookup};
    }
    Resolved found = resolve_detail::ours(type_attr(tp, name));
    if (found.via() == Via::Lookup) {
        return found;
    }
    // Neither is a data descriptor, so an instance variable comes first.
    // With only exact str keys the probe compares no key with __eq__ and
    // runs no code, so what the type gave is still what it resolves the
    // name to when we answer; otherwise the caller takes the literal lookup.
    Ref d = Ref::steal(cpy::object_dict(self));
    if (!d) {
        return {nullptr, Via::Failed};
    }
    if (!cpy::dict_has_only_str_keys(d.get())) {
        return {nullptr, Via::Lookup};
    }
    const int hidden = hidden_in(d.get(), name);
    if (hidden != 0) {
        return {nullptr, hidden < 0 ? Via::Failed : Via::Lookup};
    }
    return found;
}

// The same for a `self` whose PlainDict is `d`: no code runs.
inline Resolved
resolve_in(PyObject* self, const PlainDict& d, PyObject* name) noexcept
{
    Resolved found = resolve_detail::ours(type_attr(Py_TYPE(self), name));
    if (found.via() != Via::Lookup && hidden_in(d.get(), name) != 0) {
        return {nullptr, Via::Lookup};  // only str keys: no code, no error
    }
    return found;
}

// `self.<name>(*args)`.
inline Ref
call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
            PyObject* kwnames = nullptr, PyThreadState* ts = nullptr) noexcept
{
    return resolve(self, name).call(self, name, args, kwnames, ts);
}

// Our __setattr__ function when setattr() on an instance of `tp` calls it
// (the type keeps the generic slot, and the slot's lookup finds it).
Resolved resolve_setattr(PyTypeObject* tp) noexcept;

// --- The public class ---------------------------------------------------------------

// A yes-or-no about a type whose asking runs no code and reads nothing but
// the type and its bases (so a new version of the type is the only thing
// that can change it): asked once per version, kept in the type's record.
inline bool
per_version(PyTypeObject* tp, std::int8_t TypeInfo::*known,
            bool (*ask)(PyTypeObject*) noexcept) noexcept
{
    const std::int8_t k = resolve_detail::info(tp).*known;
    if (k >= 0) [[likely]] {
        return k != 0;
    }
    const bool yes = ask(tp);
    resolve_detail::info(tp).*known = yes ? 1 : 0;
    return yes;
}

// Does `x.keys()` / `x.get(step)` run TesselVar's own methods, reading
// `x.keys` and `x.get` running no code?
namespace resolve_detail {
bool keys_and_get_are_own(PyTypeObject* tp) noexcept;
bool add_is_own(PyTypeObject* tp) noexcept;
}  // namespace resolve_detail
inline bool
runs_own_keys_and_get(PyTypeObject* tp) noexcept
{
    return per_version(tp, &TypeInfo::keys_get_own, resolve_detail::keys_and_get_are_own);
}

// Does `x.add(**entries)` run TesselVar's own `add`, reading `x.add` running
// no code?
inline bool
runs_own_add(PyTypeObject* tp) noexcept
{
    return per_version(tp, &TypeInfo::add_own, resolve_detail::add_is_own);
}

}  // namespace vm

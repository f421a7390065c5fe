// var_main/dispatch.hpp: resolving `self.<name>` without the attribute
// machinery, when the answer is certain to be the same.
//
// Methods call one another through `self`, so that subclass overrides and
// variables hiding a method take effect.  Done literally, every such call
// looks the name up through __getattr__'s slot and allocates a bound method.
// Here the same resolution is done from its parts: when the type keeps
// object's __getattribute__, the name is found on the type as one of our
// function objects (a non-data descriptor), and the instance dict has no
// entry of that name, then `self.<name>(...)` is exactly a call of that
// function with `self` in front.  In every other case the caller falls back
// to the literal lookup.
#pragma once

#include "runtime/ref.hpp"
#include "runtime/method.hpp"

#include <initializer_list>

namespace vm {

// An ordinary instance's type: it keeps a managed __dict__ and is not a
// metaclass (a class's dict is its type's own, never written directly).
bool is_ordinary_type(PyTypeObject* tp) noexcept;

// Is `obj` an instance of TesselVarMain (or of a subclass)?
bool is_store_instance(PyObject* obj) noexcept;

// Records what the class looks like when we made it: its attribute hook,
// the standard __dict__ descriptor and the staticmethod around _skip.
bool record_class(PyObject* cls) noexcept;

// Does ordinary attribute lookup on instances of `tp` behave like object's
// (an ordinary instance, no __getattribute__ override)?  Then reading an
// attribute that the type finds runs no code but the descriptor's own.
bool lookup_is_plain(PyTypeObject* tp) noexcept;

// Is the lookup plain, and is `__dict__` the standard descriptor, so that
// `self.__dict__` is the instance dict?
bool dict_is_plain(PyTypeObject* tp) noexcept;

// The function object that `self.<name>` resolves to, when it is one of ours
// reached the ordinary way; *bind tells whether `self` goes in front (false
// for the static `_skip`).  nullptr when the literal lookup must run.
// Returns a borrowed reference; -1 in *bind with an error set on failure.
PyObject* own_method(PyObject* self, PyObject* name, int* bind) noexcept;

// ...and is deletion object's own (no __delattr__ override)?
bool delattr_is_plain(PyTypeObject* tp) noexcept;

// Is `fn` (from own_method) our function for the method with this body?
bool is_own(PyObject* fn, Entry entry) noexcept;

// Our `_skip` function reached through our staticmethod: `fn` and `bind`
// as own_method answered them.
bool is_own_skip(PyObject* fn, int bind) noexcept;

// A setting such as `_g_n_r` read straight from the instance dict, when
// ordinary lookup would find it there and nowhere else.  Returns a new
// reference, or an empty Ref with no error set when the literal lookup must
// run (or with an error set on failure).
Ref own_setting(PyObject* self, PyObject* name) noexcept;

// The instance dict of `self` when attribute lookup on it is plain (an
// ordinary instance, object's __getattribute__, the standard __dict__) and
// every key of the dict is an exact str, so that probing it runs no code;
// empty (no error set) otherwise.  Valid until Python code can run.
Ref plain_dict(PyObject* self) noexcept;

// What the type alone resolves one of our interned names to (borrowed,
// cached per version tag; nullptr when nothing).
PyObject* type_attr(PyTypeObject* tp, PyObject* name) noexcept;

// own_method for a `self` whose plain_dict() is `d`: is `self.<name>` our
// function with this body (entry nullptr: our static _skip), not hidden by
// a variable?  No code runs; valid as long as `d` is.
bool own_in_dict(PyObject* self, PyObject* d, PyObject* name,
                 Entry entry) noexcept;

// Is one of our method names a key of `d`, a dict with only exact str keys
// (so asking runs no code)?  1, 0, or -1 with an error set.  Answered
// without a probe while `d` is under the hiding watch (dispatch.cpp).
int hidden_in(PyObject* d, PyObject* name) noexcept;

// Starts the hiding watch on `d`, a dict just made for a new store that
// nothing else has seen yet (only then is no change of it under way), when
// it holds no method name.
void watch_new_dict(PyObject* d) noexcept;

// Does a watcher other than ours watch `d`?  Then every change of `d` runs
// its callback, which may run any code.
bool foreign_watchers(PyObject* d) noexcept;

// Is `d` under the hiding watch now (no key of it is a method name)?
bool under_hiding_watch(PyObject* d) noexcept;

// Registers the hiding watch, once, at start-up: `resolved` are the names
// the fast paths resolve.  False only with an error set; without two free
// watchers the fast paths keep probing.
bool start_hiding_watch(std::initializer_list<PyObject*> resolved) noexcept;

}  // namespace vm

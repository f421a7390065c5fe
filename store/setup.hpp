// store/setup.hpp: setting a store up (_set_class) and the names of its
// internal settings (_skip), with the ways in that skip the calls: set_up()
// for `self._set_class(...)`, SkipRule for `key in self._skip()`.
#pragma once

#include "runtime/call.hpp"
#include "store/state.hpp"
#include "store/walks.hpp"

#include <cstdint>
#include <cstring>

namespace vm {

// The bodies of the two methods.
PyObject* set_class(Call&, Any self, Any instance, Any reprint, Any inherit) noexcept;
PyObject* skip(Call&) noexcept;

// `self._set_class(factory, reprint, inherit)`: our body run in place while
// the call would reach it, the call otherwise.  0, or -1 with an error set.
int set_up(PyObject* self, PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept;

// set_up() for a store just allocated, which holds nothing yet and which
// nothing else has seen.  `filled`: a dict of exactly the four settings as
// set_up() would write them, or nullptr; the store then gets a copy of it
// as its dict (under the hiding watch).
int set_up_new(PyObject* self, PyObject* factory, PyObject* reprint, PyObject* inherit,
               PyObject* filled) noexcept;

// Is an exact str one of the four setting names?  (Asked of every key of a
// walk: kept inline.)
[[gnu::always_inline]] inline bool
is_setting_name(PyObject* key) noexcept
{
    // The four names are six ASCII characters, "_x_y_z": any other key is
    // told apart by its length, kind or underscores without comparing.
    if (PyUnicode_GET_LENGTH(key) != 6 || !PyUnicode_IS_COMPACT_ASCII(key)) {
        return false;
    }
    const auto* c = static_cast<const char*>(PyUnicode_DATA(key));
    if (c[0] != '_' || c[2] != '_' || c[4] != '_') {
        return false;
    }
    const Names& n = names();
    for (PyObject* s : n.settings) {
        if (key == s) {
            return true;
        }
    }
    for (PyObject* s : n.settings) {
        if (std::memcmp(c, PyUnicode_DATA(s), 6) == 0) {
            return true;
        }
    }
    return false;
}

// The entries of a dict of exact str keys that are not settings, read in
// place (a DictWalk: nothing may change the dict meanwhile), for a walk
// where our own _skip is in force.  Keys are unique, so once the four
// settings have gone by (set-up puts them first) no key is tested.
class VariableWalk {
public:
    explicit VariableWalk(PyObject* d) noexcept : walk_(d) {}
    // body(key, value) for each variable, until it returns false; false
    // then.  Two loops: the second, past the settings, tests nothing.
    template <class Body> [[gnu::always_inline]] bool each(Body&& body) noexcept
    {
        PyObject* key;
        PyObject* value;
        while (settings_left_ > 0 && walk_.next(&key, &value)) {
            if (is_setting_name(key)) {
                --settings_left_;
            }
            else if (!body(key, value)) {
                return false;
            }
        }
        while (walk_.next(&key, &value)) {
            if (!body(key, value)) {
                return false;
            }
        }
        return true;
    }

private:
    DictWalk walk_;
    int settings_left_ = 4;
};

// --- The exclusion rule -------------------------------------------------------

// `key in self._skip()` over a walk.  While `self._skip` resolves to our own
// static method, an exact str key is compared with the four setting names
// directly: the same answer, with no list made and no code run.  Otherwise
// (an override, a hiding variable, a key of another type) `self._skip()` is
// called for the key like the rule says.  Call invalidate() after anything
// that may have run Python code, since that code may change the resolution.
class SkipRule {
public:
    explicit SkipRule(PyObject* self) noexcept : self_(self) {}
    // 1: excluded; 0: a variable; -1: error set.
    int test(PyObject* key) noexcept;
    void invalidate() noexcept { state_ = Known::Unknown; }
    // Does `self._skip` resolve to our own static method right now?
    // -1 with an error set on failure.
    int own() noexcept;

private:
    enum class Known : std::uint8_t { Unknown, Own, Other };
    PyObject* self_;
    Known state_ = Known::Unknown;
};

}  // namespace vm

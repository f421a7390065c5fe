// var_main/store.hpp: what every method needs to know about a store.
//
// A store keeps everything in its instance dictionary, reached as
// `self.__dict__` afresh at each use.  Methods reach one another through
// attribute lookup on `self`, so subclass overrides and variables that hide a
// method take effect; call_method() below is that lookup plus the call.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/ref.hpp"
#include "state.hpp"

#include <initializer_list>
#include <iterator>

namespace vm {

bool init_names() noexcept;

// --- Reading and writing the store's dictionary ---------------------------

// `self.__dict__` by ordinary attribute lookup.
Ref instance_dict(PyObject* self) noexcept;

// `d.get(key)`: None when absent.  Exact dicts are probed directly; any
// other mapping is asked through its own `get`.
Ref dict_get(PyObject* d, PyObject* key) noexcept;

// `d[key]`.
Ref dict_item(PyObject* d, PyObject* key) noexcept;

// `d[key] = value`.
int dict_store(PyObject* d, PyObject* key, PyObject* value) noexcept;

// Are all keys of the dict exact str?  Then looking a str up by hash is the
// same as comparing it with every key, and no key's __eq__ can run.
bool only_str_keys(PyObject* d) noexcept;

// Is an exact str one of the four setting names?
bool is_setting_name(PyObject* key) noexcept;

// Collects new references and turns them into a list of exactly that size,
// so no half-filled list is ever visible.
class ListBuilder {
public:
    ListBuilder() noexcept = default;
    ListBuilder(const ListBuilder&) = delete;
    ListBuilder& operator=(const ListBuilder&) = delete;
    ~ListBuilder();
    bool push(Ref item) noexcept;
    Ref finish() noexcept;

private:
    static constexpr std::size_t kInline = 64;
    PyObject* inline_[kInline];
    PyObject** items_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

// The store's dictionary must be a dict for the walks; says so if not.
bool require_dict(PyObject* d) noexcept;

// --- Calling through self ---------------------------------------------------

// `self.<name>(*args)` with the attribute looked up on `self` like Python
// does (instance dict first, then the type); `kwnames` names the trailing
// arguments given by keyword.
// `ts`: the caller's thread state when it has it (call.thread()).
Ref call_method(PyObject* self, PyObject* name,
                std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr, PyThreadState* ts = nullptr) noexcept;

// setattr(self, name, value).  When the interpreter would call our
// __setattr__ (the type keeps the generic slot that looks it up, and the
// lookup finds our function), the call is made here without the slot's
// lookup and argument passing; the name is interned as setattr interns it.
int set_attribute(PyObject* self, PyObject* name, PyObject* value) noexcept;

// Our __setattr__ function when setattr() on an instance of `tp` calls it
// (the type keeps the generic slot, and the slot's lookup finds it);
// borrowed, nullptr otherwise.
PyObject* own_setattr(PyTypeObject* tp) noexcept;


// --- Classification ---------------------------------------------------------

// `type(v).__name__ == "TesselVar"`: 1, 0, or -1 with an error set.
int is_nested_store(PyObject* v) noexcept;

// Does is_nested_store(v) answer without running code?  (No metaclass of
// its own, and a name that is an exact str.)
bool store_test_is_plain(PyObject* v) noexcept;

// A list, set or tuple, subclasses included (frozenset is not a set here).
inline bool
is_sequence(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    if (PyType_HasFeature(tp, Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS) ||
        tp == &PySet_Type) {
        return true;
    }
    // PySet_Check walks the MRO for anything else.  An int, str, bytes or
    // dict (or a subclass: their layouts cannot be combined with a set's),
    // a float or None is no set.
    constexpr unsigned long kNoSet = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS |
                                     Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    if ((tp->tp_flags & kNoSet) != 0 || tp == &PyFloat_Type || v == Py_None) {
        return false;
    }
    return PyType_IsSubtype(tp, &PySet_Type) != 0;
}

// The exclusion rule: is `key` in `self._skip()`?  1, 0, or -1.
int is_skipped(PyObject* self, PyObject* key) noexcept;

// The exclusion rule over a walk.  While `self._skip` resolves to our own
// static method, an exact str key is compared with the four setting names
// directly: the same answer, with no list made and no code run.  Otherwise
// (an override, a hiding variable, a key of another type) `self._skip()` is
// called for the key like the rule says.  Call invalidate() after anything
// that may have run Python code, since that code may change the resolution.
class SkipRule {
public:
    explicit SkipRule(PyObject* self) noexcept : self_(self) {}
    int test(PyObject* key) noexcept;
    void invalidate() noexcept { state_ = State::Unknown; }
    // Does `self._skip` resolve to our own static method right now?
    // -1 with an error set on failure.
    int own() noexcept;

private:
    enum class State { Unknown, Own, Other };
    PyObject* self_;
    State state_ = State::Unknown;
};

// --- Walks for a range-for ----------------------------------------------------

// What DictItems and Iteration share: a walk that a range-for drives, which
// stops on the first error and says so through ok() after the loop.
template <class Walk, class Item>
class Range {
public:
    class iterator {
    public:
        explicit iterator(Walk* walk) noexcept : walk_(walk) {}
        Item& operator*() const noexcept { return walk_->item_; }
        iterator& operator++() noexcept
        {
            walk_->advance();
            return *this;
        }
        bool operator!=(std::default_sentinel_t) const noexcept
        {
            return !walk_->done_;
        }

    private:
        Walk* walk_;
    };

    iterator begin() noexcept
    {
        Walk* walk = static_cast<Walk*>(this);
        walk->advance();
        return iterator(walk);
    }
    std::default_sentinel_t end() const noexcept { return {}; }
    // After the loop: false when the walk itself failed (the error is set).
    bool ok() const noexcept { return !failed_; }

protected:
    Range() noexcept = default;
    void stop(bool failed) noexcept
    {
        done_ = true;
        failed_ = failed;
    }
    Item item_{};
    bool done_ = false;
    bool failed_ = false;
};

// One entry of a dict walk; it owns both references.
struct DictEntry {
    Ref key;
    Ref value;
};

// The entries of a dict:
//
//     DictItems items(d);
//     for (auto& [key, value] : items) { ... }
//     if (!items.ok()) { /* the error is set */ }
//
// Like CPython's dict iterator, it raises "dictionary changed size during
// iteration" when the size changes between steps, and hands out new
// references: the walk owns the current key and value, so the body may run
// any code, and it takes the next entry before it lets go of the previous
// one (dropping a key may run a finalizer that removes the next entry).
// The body may move the key or value out of the entry.
class DictItems : public Range<DictItems, DictEntry> {
public:
    explicit DictItems(PyObject* d) noexcept
        : d_(d), size_(PyDict_GET_SIZE(d)), left_(size_)
    {
    }
    DictItems(const DictItems&) = delete;
    DictItems& operator=(const DictItems&) = delete;

private:
    friend class Range<DictItems, DictEntry>;
    void advance() noexcept
    {
        if (PyDict_GET_SIZE(d_) != size_) {
            raise_dict_changed();
            stop(true);
            return;
        }
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(d_, &pos_, &k, &v)) {
            stop(false);
            return;
        }
        if (left_-- == 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary keys changed during iteration");
            stop(true);
            return;
        }
        DictEntry next{Ref::borrow(k), Ref::borrow(v)};
        item_ = std::move(next);
    }

    PyObject* d_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_;
    Py_ssize_t left_;
};

// The items of any iterable; ok() covers making the iterator too:
//
//     Iteration elements(iterable);
//     for (Ref& element : elements) { ... }
//     if (!elements.ok()) { /* the error is set */ }
class Iteration : public Range<Iteration, Ref> {
public:
    explicit Iteration(PyObject* iterable) noexcept
    {
        // An exact list or tuple is walked by index, as its own iterator
        // walks it (a list growing meanwhile is walked to its new end),
        // without making the iterator object.
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            seq_ = Ref::borrow(iterable);
            return;
        }
        it_ = Ref::steal(PyObject_GetIter(iterable));
        if (!it_) {
            stop(true);
        }
    }
    Iteration(const Iteration&) = delete;
    Iteration& operator=(const Iteration&) = delete;

private:
    friend class Range<Iteration, Ref>;
    void advance() noexcept
    {
        if (done_) {
            return;
        }
        if (seq_) {
            PyObject* s = seq_.get();
            const bool list = PyList_CheckExact(s);
            if (index_ >= (list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s))) {
                stop(false);
                return;
            }
            item_ = Ref::borrow(list ? PyList_GET_ITEM(s, index_) : PyTuple_GET_ITEM(s, index_));
            ++index_;
            return;
        }
        Ref next = Ref::steal(PyIter_Next(it_.get()));
        if (!next) {
            stop(PyErr_Occurred() != nullptr);
            return;
        }
        item_ = std::move(next);
    }

    Ref it_;
    Ref seq_;
    Py_ssize_t index_ = 0;
};

// A truth test that says -1 on error, like PyObject_IsTrue.
inline int
truth(PyObject* v) noexcept
{
    return PyObject_IsTrue(v);
}

// Does truth(v) run no Python code?  True for None, bools, exact dicts and
// types without a length or __bool__ slot (a store's, unless its class adds
// one); false when unsure.
inline bool
truth_runs_no_code(PyObject* v) noexcept
{
    PyTypeObject* tp = Py_TYPE(v);
    if (v == Py_None || PyBool_Check(v) || tp == &PyDict_Type) {
        return true;
    }
    return (tp->tp_as_number == nullptr || tp->tp_as_number->nb_bool == nullptr) &&
           (tp->tp_as_mapping == nullptr || tp->tp_as_mapping->mp_length == nullptr) &&
           (tp->tp_as_sequence == nullptr || tp->tp_as_sequence->sq_length == nullptr);
}

// Does is_nested_store() on an instance of `tp` run no Python code (the
// type's own metaclass is type, and its name is an exact str)?
bool nested_store_test_runs_no_code(PyTypeObject* tp) noexcept;

}  // namespace vm

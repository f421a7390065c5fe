// store/walks.hpp: walking dicts and iterables from C++, the way CPython's
// own iterators walk them, and building lists of exactly their size.
#pragma once

#include "runtime/errors.hpp"
#include "runtime/internals.hpp"
#include "runtime/ref.hpp"

#include <cstddef>
#include <iterator>

namespace vm {

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

// What DictItems and Iteration share: a walk that a range-for drives, which
// stops on the first error and says so through ok() after the loop.
template <class Walk, class Item> class Range {
public:
    class iterator {
    public:
        explicit iterator(Walk* walk) noexcept : walk_(walk) {}
        Item& operator*() const noexcept { return walk_->item_; }
        [[gnu::always_inline]] iterator& operator++() noexcept
        {
            walk_->advance();
            return *this;
        }
        bool operator!=(std::default_sentinel_t) const noexcept { return !walk_->done_; }

    private:
        Walk* walk_;
    };

    [[gnu::always_inline]] iterator begin() noexcept
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
    explicit DictItems(PyObject* d) noexcept : d_(d), size_(PyDict_GET_SIZE(d)), left_(size_) {}
    DictItems(const DictItems&) = delete;
    DictItems& operator=(const DictItems&) = delete;

private:
    friend class Range<DictItems, DictEntry>;
    [[gnu::always_inline]] void advance() noexcept
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
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
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

// The entries of a dict for a walk that runs no code between its steps and
// reads them borrowed: a dict of str keys is read in place, any other with
// PyDict_Next.  The dict must not change during the walk.
//
//     DictWalk walk(d);
//     while (walk.next(&key, &value)) { ... }
class DictWalk {
public:
    explicit DictWalk(PyObject* d) noexcept : d_(d), entries_(cpy::str_entries(d, &count_)) {}
    [[gnu::always_inline]] bool next(PyObject** key, PyObject** value) noexcept
    {
        if (entries_ == nullptr) {
            return PyDict_Next(d_, &pos_, key, value) != 0;
        }
        while (pos_ < count_) {
            const cpy::StrEntry& e = entries_[pos_++];
            if (e.value != nullptr) {
                *key = e.key;
                *value = e.value;
                return true;
            }
        }
        return false;
    }

private:
    PyObject* d_;
    Py_ssize_t count_ = 0;
    const cpy::StrEntry* entries_;
    Py_ssize_t pos_ = 0;
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
    [[gnu::always_inline]] void advance() noexcept
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

}  // namespace vm

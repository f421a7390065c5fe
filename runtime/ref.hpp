// runtime/ref.hpp: the one owner of a strong reference.
//
// Rules of use in this module:
//   * a function that hands out a new reference returns a Ref;
//   * a raw PyObject* is always borrowed and never released by its holder;
//   * ownership is taken explicitly: Ref::steal(p) adopts a new reference,
//     Ref::borrow(p) adds one.
// A Ref is one pointer, move-only, and costs nothing to pass around.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vm {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept
    {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Adopts a new reference (which may be NULL after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference back to C (for returning from a slot).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Convenience for the common "new reference to None" result.
inline PyObject*
new_none() noexcept
{
    return Py_NewRef(Py_None);
}

}  // namespace vm

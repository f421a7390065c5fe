// runtime/call.hpp: what a method body sees of its call, and the
// adapter that turns a plain C++ function with typed parameters into an Entry.
#pragma once

#include "runtime/method.hpp"

#include <utility>

namespace vm {

// Typed views of already checked arguments.  They are borrowed pointers; the
// type only says which check the argument matcher has made.
struct Str {
    PyObject* p;  // exactly str
};
struct StrOrNone {
    PyObject* p;  // exactly str, or None
};
struct Dict {
    PyObject* p;  // exactly dict
};
struct Tuple {
    PyObject* p;  // exactly tuple
};
using Any = PyObject*;

// The line of a failing statement.  Made by the method's own line table
// (see the store's lines.hpp), so no call site writes a bare number.
struct Statement {
    int line;
};

class Call {
public:
    explicit Call(const MethodSpec& spec) noexcept : spec_(spec) {}

    // Records the line of the failing statement and returns the failure value.
    // The function object adds the traceback entry when the body returns.
    PyObject* fail(Statement at) noexcept
    {
        line_ = at.line;
        return nullptr;
    }
    int line() const noexcept { return line_; }
    const MethodSpec& spec() const noexcept { return spec_; }
    // The thread state the call runs on, for the levels the body enters.
    PyThreadState* thread() const noexcept { return ts_; }
    void set_thread(PyThreadState* ts) noexcept { ts_ = ts; }

private:
    const MethodSpec& spec_;
    int line_ = 0;
    PyThreadState* ts_ = nullptr;
};

// --- Entry adapter --------------------------------------------------------
template <auto F> struct Adapt;

template <class... A, PyObject* (*F)(Call&, A...) noexcept> struct Adapt<F> {
    static constexpr std::size_t arity = sizeof...(A);

    static PyObject* run(Call& call, PyObject* const* args) noexcept
    {
        return run_with(call, args, std::index_sequence_for<A...>{});
    }

private:
    template <std::size_t... I>
    static PyObject* run_with(Call& call, PyObject* const* args, std::index_sequence<I...>) noexcept
    {
        return F(call, A{args[I]}...);
    }
};

}  // namespace vm

// var_main/runtime/depth.hpp: how deep a call may go.
//
// The interpreter bounds nested C calls by a count (Py_EnterRecursiveCall),
// but a level of ours and of the interpreter's own recursion under it costs
// very different amounts of C stack, and threads may run on stacks as small
// as 256 KiB.  A Depth scope therefore checks both: the interpreter's count,
// and the room left on this thread's C stack, whose bounds are read once per
// thread.  While a scope is open it also lowers the interpreter's remaining
// count to what the stack can hold, so the interpreter's own recursion below
// us (repr of nested lists, calls back into Python) raises RecursionError
// before the stack runs out instead of crashing the process.
#pragma once

#include "runtime/ref.hpp"

namespace vm {

class Depth {
public:
    Depth() noexcept = default;
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    ~Depth() { leave(); }

    // Enters one level.  False with RecursionError set when the count or
    // the stack is exhausted (the scope is then not entered).
    [[nodiscard]] bool enter() noexcept;
    void leave() noexcept;

private:
    PyThreadState* ts_ = nullptr;
    int cut_ = 0;  // what enter() took off the interpreter's count
};

// Bytes of C stack left below the current frame on this thread (a large
// number when the bounds cannot be read).
std::size_t stack_left() noexcept;

}  // namespace vm

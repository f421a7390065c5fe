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

#include <cstdint>

namespace vm {

namespace depth_detail {
// Lowest usable address of this thread's stack plus a reserve; 0 until read,
// 1 when it cannot be read (no stack check then).  Initial-exec TLS: one
// word in the static TLS block, read without a call on every level.
extern thread_local std::uintptr_t t_floor
    __attribute__((tls_model("initial-exec")));
std::uintptr_t read_floor() noexcept;
bool stack_exhausted() noexcept;  // raises RecursionError
void clamp(PyThreadState* ts, std::size_t left, int& cut) noexcept;
}  // namespace depth_detail

class Depth {
public:
    Depth() noexcept = default;
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    ~Depth() { leave(); }

    // Enters one level.  False with RecursionError set when the count or
    // the stack is exhausted (the scope is then not entered).
    [[nodiscard]] bool enter() noexcept
    {
        using namespace depth_detail;
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            return false;
        }
        std::uintptr_t floor = t_floor;
        if (floor == 0) {
            floor = t_floor = read_floor();
        }
        const auto sp =
            reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (floor != 1) {
            if (sp <= floor) {
                Py_LeaveRecursiveCall();
                return stack_exhausted();
            }
            ts_ = PyThreadState_Get();
            clamp(ts_, sp - floor, cut_);
        }
        entered_ = true;
        return true;
    }
    void leave() noexcept
    {
        if (!entered_) {
            return;
        }
        if (cut_ != 0) {
            depth_detail::clamp(ts_, 0, cut_);
        }
        entered_ = false;
        Py_LeaveRecursiveCall();
    }

private:
    PyThreadState* ts_ = nullptr;
    int cut_ = 0;  // what enter() took off the interpreter's count
    bool entered_ = false;
};

}  // namespace vm

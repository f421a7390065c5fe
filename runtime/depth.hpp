// runtime/depth.hpp: how deep a call may go.
//
// The interpreter bounds nested C calls by a count (Py_EnterRecursiveCall),
// but a level of ours and of the interpreter's own recursion under it costs
// very different amounts of C stack, and threads may run on stacks as small
// as 256 KiB.  A Depth scope therefore checks both: the interpreter's count,
// and the room left on this thread's C stack, whose bounds are read once per
// thread.  The interpreter's own recursion below a level of ours (the
// repr() of a deeply nested plain list, say) is bounded by its count alone,
// as it is outside this module.
#pragma once

#include "runtime/internals.hpp"
#include "runtime/ref.hpp"

#include <cstdint>

namespace vm {

namespace depth_detail {
// This thread's stack, read once per thread: its lowest usable address plus
// a reserve (0 until read; 1 when it cannot be read: no stack check then)
// and its top.  The default TLS model: an initial-exec word would save a
// call per read, but a module loaded late can find the static TLS block
// full and then fail to import; TLS descriptors (-mtls-dialect=gnu2) save it
// too, but glibc before 2.40 can clobber vector registers on their slow
// path, taken in just that case.
struct Span {
    std::uintptr_t floor;
    std::uintptr_t top;
};
extern thread_local Span t_stack;
// The stack that was checked last, on whichever thread: a level whose frame
// lies in it needs no thread-local read.  Code of ours runs under the
// interpreter's lock and never switches threads between two of our reads,
// and a new thread that gets a dead thread's stack memory gets its bounds
// too, so the span answers for whatever runs on that memory.
extern Span last;
std::uintptr_t floor_for(std::uintptr_t sp) noexcept;  // the slow way
bool stack_exhausted() noexcept;                       // raises RecursionError
}  // namespace depth_detail

// Would `levels` nested Depth scopes entered here all succeed?  For a
// caller that does the work of several nested calls at once, when nothing
// between their entries could run code or see the count: it then enters
// none.  False when unsure (the caller enters them one by one, and the one
// that fails says so).
[[gnu::always_inline]] inline bool
room_for(PyThreadState* ts, int levels) noexcept
{
    using namespace depth_detail;
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return cpy::recursion_room(ts) >= levels - 1 && sp > last.floor && sp <= last.top;
}

// How much of this thread's stack is left below here, above the reserve
// the levels keep free (as much as the address space when its bounds cannot
// be read: then nothing is checked).
inline std::uintptr_t
stack_left() noexcept
{
    using namespace depth_detail;
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const std::uintptr_t floor = (sp > last.floor && sp <= last.top) ? last.floor : floor_for(sp);
    return floor == 1 ? UINTPTR_MAX : sp > floor ? sp - floor : 0;
}

class Depth {
public:
    Depth() noexcept = default;
    // With the thread state already at hand: the current one cannot change
    // while a call of ours is running on this thread (whatever we call
    // returns with it current again), so a body may pass its own level's.
    explicit Depth(PyThreadState* ts) noexcept : ts_(ts) {}
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    ~Depth() { leave(); }

    // Enters one level.  False with RecursionError set when the count or
    // the stack is exhausted (the scope is then not entered).
    [[nodiscard]] [[gnu::always_inline]] bool enter() noexcept
    {
        using namespace depth_detail;
        if (ts_ == nullptr) {
            ts_ = PyThreadState_GetUnchecked();
        }
        if (cpy::enter_recursive(ts_, " while calling a Python object")) {
            return false;
        }
        const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        if (!(sp > last.floor && sp <= last.top)) [[unlikely]] {
            const std::uintptr_t floor = floor_for(sp);
            if (floor != 1 && sp <= floor) {
                cpy::leave_recursive(ts_);
                return stack_exhausted();
            }
        }
        entered_ = true;
        return true;
    }
    [[gnu::always_inline]] void leave() noexcept
    {
        if (!entered_) {
            return;
        }
        entered_ = false;
        cpy::leave_recursive(ts_);
    }

    // The thread state of this level (once entered).
    PyThreadState* thread() const noexcept { return ts_; }

private:
    PyThreadState* ts_ = nullptr;
    bool entered_ = false;
};

}  // namespace vm

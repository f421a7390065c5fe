// runtime/depth.cpp: the recursion bound (see depth.hpp).
#include "runtime/depth.hpp"

#include <pthread.h>

#include <cstdint>

namespace vm {

namespace {

// What a scope keeps free below itself: room to raise, add traceback entries
// and unwind, and for the code between two of our checks.
constexpr std::uintptr_t kReserve = std::uintptr_t{64} * 1024;

}  // namespace

namespace depth_detail {

thread_local Span t_stack = {0, 0};
Span last = {0, 0};

std::uintptr_t
floor_for(std::uintptr_t sp) noexcept
{
    Span stack = t_stack;
    if (stack.floor == 0) {
        stack = {1, 0};
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            std::size_t size = 0;
            const int rc = pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
            if (rc == 0 && base != nullptr) {
                const auto low = reinterpret_cast<std::uintptr_t>(base);
                stack = {low + kReserve, low + size};
            }
        }
        t_stack = stack;
    }
    // A stack whose bounds are unknown is never the last one checked: each
    // of its levels asks again, and is not checked.
    if (stack.floor != 1 && sp > stack.floor && sp <= stack.top) {
        last = stack;
    }
    return stack.floor;
}

bool
stack_exhausted() noexcept
{
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python "
                                          "object");
    return false;
}

}  // namespace depth_detail

}  // namespace vm

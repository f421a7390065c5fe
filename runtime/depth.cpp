// runtime/depth.cpp: the recursion bound (see depth.hpp).
#include "runtime/depth.hpp"


#include <pthread.h>

#include <cstdint>

namespace vm {

namespace {

// What a scope keeps free below itself: room to raise, add traceback entries
// and unwind, and for the code between two of our checks.
constexpr std::uintptr_t kReserve = 64 * 1024;

}  // namespace

namespace depth_detail {

thread_local std::uintptr_t t_floor = 0;

std::uintptr_t
read_floor() noexcept
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return 1;
    }
    void* base = nullptr;
    std::size_t size = 0;
    const int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || base == nullptr) {
        return 1;
    }
    return reinterpret_cast<std::uintptr_t>(base) + kReserve;
}

bool
stack_exhausted() noexcept
{
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python "
                    "object");
    return false;
}

}  // namespace depth_detail

}  // namespace vm

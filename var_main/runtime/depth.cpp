// var_main/runtime/depth.cpp: the recursion bound (see depth.hpp).
#include "runtime/depth.hpp"

#include "runtime/internals.hpp"

#include <pthread.h>

#include <cstdint>

namespace vm {

namespace {

// What a scope keeps free below itself: room to raise, add traceback entries
// and unwind, and for the code between two of our checks.
constexpr std::uintptr_t kReserve = 64 * 1024;
// C stack per level of the interpreter's own counted recursion, taken
// generously (a nested list's repr uses about 200 bytes a level).
constexpr std::uintptr_t kPerLevel = 512;

constexpr const char kWhere[] = " while calling a Python object";

// Lowest usable address of this thread's stack plus the reserve; 0 until
// read, 1 when it cannot be read (no stack check then).
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

inline std::uintptr_t
here() noexcept
{
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

inline std::uintptr_t
floor_of_thread() noexcept
{
    if (t_floor == 0) {
        t_floor = read_floor();
    }
    return t_floor;
}

}  // namespace

std::size_t
stack_left() noexcept
{
    const std::uintptr_t floor = floor_of_thread();
    const std::uintptr_t sp = here();
    if (floor == 1) {
        return static_cast<std::size_t>(-1);
    }
    return sp > floor ? sp - floor : 0;
}

bool
Depth::enter() noexcept
{
    if (Py_EnterRecursiveCall(kWhere)) {
        return false;
    }
    const std::size_t left = stack_left();
    if (left == 0) {
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s",
                     kWhere);
        return false;
    }
    ts_ = PyThreadState_Get();
    if (int* remaining = cpy::c_recursion_remaining(ts_)) {
        const std::size_t levels = left / kPerLevel;
        if (levels < static_cast<std::size_t>(*remaining)) {
            cut_ = *remaining - static_cast<int>(levels);
            *remaining -= cut_;
        }
    }
    return true;
}

void
Depth::leave() noexcept
{
    if (ts_ == nullptr) {
        return;
    }
    if (cut_ != 0) {
        *cpy::c_recursion_remaining(ts_) += cut_;
        cut_ = 0;
    }
    ts_ = nullptr;
    Py_LeaveRecursiveCall();
}

}  // namespace vm

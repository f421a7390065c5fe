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

}  // namespace

namespace depth_detail {

thread_local std::uintptr_t t_floor
    __attribute__((tls_model("initial-exec"))) = 0;

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

// With `left` bytes of stack: lowers the interpreter's remaining count to
// what they hold and records the cut in `cut`; with `cut` set, gives it back.
void
clamp(PyThreadState* ts, std::size_t left, int& cut) noexcept
{
    int* remaining = cpy::c_recursion_remaining(ts);
    if (remaining == nullptr) {
        return;
    }
    if (cut != 0) {
        *remaining += cut;
        cut = 0;
        return;
    }
    const std::size_t levels = left / kPerLevel;
    if (levels < static_cast<std::size_t>(*remaining)) {
        cut = *remaining - static_cast<int>(levels);
        *remaining -= cut;
    }
}

}  // namespace depth_detail

}  // namespace vm

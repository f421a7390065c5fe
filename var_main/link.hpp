// var_main/link.hpp: what var_main hands tesselvar._core at start-up.
//
// var_main keeps a capsule of one static VarMainLink in the interpreter's
// own dict (PyInterpreterState_GetDict), under kLinkKey: Python code cannot
// reach it there, and var_main's module globals stay exactly its own.
// tesselvar._core imports var_main and reads it once.
#pragma once

#include "runtime/ref.hpp"

namespace vm {

inline constexpr const char* kLinkKey = "var_main.link";
inline constexpr int kLinkVersion = 1;

struct VarMainLink {
    int version;
    // Starts the hiding watch on the dict of a store being made.
    void (*watch_new_dict)(PyObject* d) noexcept;
};

}  // namespace vm

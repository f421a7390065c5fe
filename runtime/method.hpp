// runtime/method.hpp: how a method is described.
//
// A MethodSpec is one row of the declarative method table: everything that
// Python can introspect (name, def line, parameters, annotations, defaults,
// docstring) and the C++ entry that runs the call.  The function objects,
// their code objects and the argument matcher are all generated from it.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace vm {

// How a parameter's value is checked before the body runs.
enum class Check : std::uint8_t {
    None,         // any object
    Exact,        // exactly `type`; subclasses and None refused
    ExactOrNone,  // exactly `type`, or None
};

enum class Default : std::uint8_t { Required, None, False };

struct Param {
    const char* name;
    const char* annotation;  // nullptr for `self`
    Check check = Check::None;
    PyTypeObject* type = nullptr;
    Default fallback = Default::Required;
};

enum class Kind : std::uint8_t { Method, Static };

struct MethodSpec;
class Call;

// Where a family of methods lives, given by the module that makes them: the
// names their function objects and traceback entries show, and the globals
// of those entries' frames (a dict kept for the life of the process).
struct Home {
    const char* module;  // __module__ of each function, "pkg.mod"
    const char* cls;     // the class they are methods of
    const char* file;    // co_filename of their code and traceback entries
    PyObject* globals = nullptr;
};

// Receives the matched arguments in parameter order, defaults filled in;
// args[0] is `self` for a method.  Returns a new reference, or nullptr with an
// exception set (after recording the failing line on `call`).
using Entry = PyObject* (*)(Call& call, PyObject* const* args) noexcept;

inline constexpr std::size_t kMaxParams = 4;  // self + three

struct MethodSpec {
    const char* name;
    int line;  // line of the `def`, also the line of argument errors
    Kind kind;
    std::uint8_t nparams;  // including self for methods
    Param params[kMaxParams];
    const char* returns;  // return annotation
    const char* doc;
    Entry entry;
};

}  // namespace vm

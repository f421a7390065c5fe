// store/lines.hpp: the lines of "var_main.py" that tracebacks point at.
//
// Each method is described as if it were written in a file var_main.py: its
// `def` line (also the line of argument errors), and the line of each
// statement that can fail.  That text is written out in store/methods.txt,
// and tests/test_frame.py holds every line named here against it.  A body
// names the statement it failed in (`call.fail(kReadCurrent)`), never a bare
// number; each name is defined beside the body with at(), which refuses at
// compile time a line that does not lie inside its method.
#pragma once

#include "runtime/call.hpp"

#include <cstddef>

namespace vm {

// The `def` lines, in the order of definition.
enum class Def : int {
    set_class = 24,
    mv_add = 63,
    mv_pop = 79,
    mv_pops = 88,
    mv_clear = 98,
    mv_get = 106,
    mv_keys = 135,
    mv_values = 143,
    mv_items = 151,
    mv_to_dict = 159,
    mv_to_params = 168,
    mv_to_string = 177,
    to_dict = 186,
    list_to_dict = 210,
    set_dict = 229,
    set_list = 247,
    skip = 271,
    mv_set = 280,
    mv_set_kwargs = 293,
    set_attr = 303,
    getattr_hook = 318,
    setattr_hook = 327,
    repr_hook = 339,
    end_of_class = 348,  // past the last statement of __repr__
};

inline constexpr Def kDefs[] = {
    Def::set_class,    Def::mv_add,       Def::mv_pop,    Def::mv_pops,       Def::mv_clear,
    Def::mv_get,       Def::mv_keys,      Def::mv_values, Def::mv_items,      Def::mv_to_dict,
    Def::mv_to_params, Def::mv_to_string, Def::to_dict,   Def::list_to_dict,  Def::set_dict,
    Def::set_list,     Def::skip,         Def::mv_set,    Def::mv_set_kwargs, Def::set_attr,
    Def::getattr_hook, Def::setattr_hook, Def::repr_hook, Def::end_of_class,
};

constexpr int
line_of(Def d) noexcept
{
    return static_cast<int>(d);
}

// The name of the method defined at `d`.
constexpr const char*
def_name(Def d) noexcept
{
    switch (d) {
    case Def::set_class:
        return "_set_class";
    case Def::mv_add:
        return "_mv_add";
    case Def::mv_pop:
        return "_mv_pop";
    case Def::mv_pops:
        return "_mv_pops";
    case Def::mv_clear:
        return "_mv_clear";
    case Def::mv_get:
        return "_mv_get";
    case Def::mv_keys:
        return "_mv_keys";
    case Def::mv_values:
        return "_mv_values";
    case Def::mv_items:
        return "_mv_items";
    case Def::mv_to_dict:
        return "_mv_to_dict";
    case Def::mv_to_params:
        return "_mv_to_params";
    case Def::mv_to_string:
        return "_mv_to_string";
    case Def::to_dict:
        return "_to_dict";
    case Def::list_to_dict:
        return "_list_to_dict";
    case Def::set_dict:
        return "_set_dict";
    case Def::set_list:
        return "_set_list";
    case Def::skip:
        return "_skip";
    case Def::mv_set:
        return "_mv_set";
    case Def::mv_set_kwargs:
        return "_mv_set_kwargs";
    case Def::set_attr:
        return "_set_attr";
    case Def::getattr_hook:
        return "__getattr__";
    case Def::setattr_hook:
        return "__setattr__";
    case Def::repr_hook:
        return "__repr__";
    case Def::end_of_class:
        break;
    }
    return "";
}

// A statement of `method` at `line`: strictly after its def, before the next.
consteval Statement
at(Def method, int line)
{
    int next = 0;
    for (std::size_t i = 0; i + 1 < sizeof kDefs / sizeof kDefs[0]; ++i) {
        if (kDefs[i] == method) {
            next = line_of(kDefs[i + 1]);
        }
    }
    if (next == 0 || line <= line_of(method) || line >= next) {
        throw "statement line outside its method";
    }
    return Statement{line};
}

}  // namespace vm

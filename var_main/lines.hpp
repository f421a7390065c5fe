// var_main/lines.hpp: the lines of "var_main.py" that tracebacks point at.
//
// Each method is described as if it were written in a file var_main.py: its
// `def` line (also the line of argument errors), and the line of each
// statement that can fail.  A body names the statement it failed in
// (`call.fail(kReadCurrent)`), never a bare number; each name is defined
// beside the body with at(), which refuses at compile time a line that does
// not lie inside its method.
#pragma once

#include "runtime/call.hpp"

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
    Def::set_class,     Def::mv_add,       Def::mv_pop,       Def::mv_pops,
    Def::mv_clear,      Def::mv_get,       Def::mv_keys,      Def::mv_values,
    Def::mv_items,      Def::mv_to_dict,   Def::mv_to_params, Def::mv_to_string,
    Def::to_dict,       Def::list_to_dict, Def::set_dict,     Def::set_list,
    Def::skip,          Def::mv_set,       Def::mv_set_kwargs, Def::set_attr,
    Def::getattr_hook,  Def::setattr_hook, Def::repr_hook,    Def::end_of_class,
};

constexpr int
line_of(Def d) noexcept
{
    return static_cast<int>(d);
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

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
#include <iterator>

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

constexpr int
line_of(Def d) noexcept
{
    return static_cast<int>(d);
}

// The methods in the order of definition, by name.
struct DefName {
    Def def;
    const char* name;
};
inline constexpr DefName kDefNames[] = {
    {Def::set_class, "_set_class"},
    {Def::mv_add, "_mv_add"},
    {Def::mv_pop, "_mv_pop"},
    {Def::mv_pops, "_mv_pops"},
    {Def::mv_clear, "_mv_clear"},
    {Def::mv_get, "_mv_get"},
    {Def::mv_keys, "_mv_keys"},
    {Def::mv_values, "_mv_values"},
    {Def::mv_items, "_mv_items"},
    {Def::mv_to_dict, "_mv_to_dict"},
    {Def::mv_to_params, "_mv_to_params"},
    {Def::mv_to_string, "_mv_to_string"},
    {Def::to_dict, "_to_dict"},
    {Def::list_to_dict, "_list_to_dict"},
    {Def::set_dict, "_set_dict"},
    {Def::set_list, "_set_list"},
    {Def::skip, "_skip"},
    {Def::mv_set, "_mv_set"},
    {Def::mv_set_kwargs, "_mv_set_kwargs"},
    {Def::set_attr, "_set_attr"},
    {Def::getattr_hook, "__getattr__"},
    {Def::setattr_hook, "__setattr__"},
    {Def::repr_hook, "__repr__"},
};

// The name of the method defined at `d`.
constexpr const char*
def_name(Def d) noexcept
{
    for (const DefName& e : kDefNames) {
        if (e.def == d) {
            return e.name;
        }
    }
    return "";
}

// A statement of `method` at `line`: strictly after its def, before the next.
consteval Statement
at(Def method, int line)
{
    int next = 0;
    for (std::size_t i = 0; i < std::size(kDefNames); ++i) {
        if (kDefNames[i].def == method) {
            next = line_of(i + 1 < std::size(kDefNames) ? kDefNames[i + 1].def : Def::end_of_class);
        }
    }
    if (next == 0 || line <= line_of(method) || line >= next) {
        throw "statement line outside its method";
    }
    return Statement{line};
}

}  // namespace vm

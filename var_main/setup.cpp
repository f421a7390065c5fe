// var_main/setup.cpp: setting a store up (_set_class) and the names of its
// internal settings (_skip).
//
// The four settings live in the store's own __dict__ beside the variables:
//   _i_c_u  the store factory, called to make nested stores
//   _g_n_r  reprint: a missing name reads as itself (true) or None (false)
//   _g_n_i  inherit: assignments store values as given (true) or converted
//   _g_n_s  a flag that set-up always resets to False
// They are written by item assignment, never through __setattr__.
#include "lines.hpp"
#include "methods.hpp"
#include "store.hpp"

namespace vm {

namespace {

// _set_class: one item assignment into self.__dict__ per setting.
constexpr Statement kWriteFactory = at(Def::set_class, 33);
constexpr Statement kWriteReprint = at(Def::set_class, 34);
constexpr Statement kWriteInherit = at(Def::set_class, 35);
constexpr Statement kWriteFlag = at(Def::set_class, 36);
// _skip: the list of the four keys.
constexpr Statement kReturnNames = at(Def::skip, 278);

}  // namespace

PyObject*
set_class(Call& call, Any self, Any instance, Any reprint, Any inherit) noexcept
{
    struct Step {
        Statement at;
        PyObject* key;
        PyObject* value;
    };
    const Step steps[] = {
        {kWriteFactory, names.i_c_u, instance},
        {kWriteReprint, names.g_n_r, reprint},
        {kWriteInherit, names.g_n_i, inherit},
        {kWriteFlag, names.g_n_s, Py_False},
    };
    for (const Step& s : steps) {
        Ref d = instance_dict(self);
        if (!d || dict_store(d.get(), s.key, s.value) < 0) {
            return call.fail(s.at);
        }
    }
    return new_none();
}

PyObject*
skip(Call& call) noexcept
{
    PyObject* list = PyList_New(4);
    if (list == nullptr) {
        return call.fail(kReturnNames);
    }
    PyList_SET_ITEM(list, 0, Py_NewRef(names.i_c_u));
    PyList_SET_ITEM(list, 1, Py_NewRef(names.g_n_r));
    PyList_SET_ITEM(list, 2, Py_NewRef(names.g_n_i));
    PyList_SET_ITEM(list, 3, Py_NewRef(names.g_n_s));
    return list;
}

}  // namespace vm

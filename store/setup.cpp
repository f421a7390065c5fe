// store/setup.cpp: setting a store up (_set_class) and the names of its
// internal settings (_skip).
//
// The four settings live in the store's own __dict__ beside the variables:
//   _i_c_u  the store factory, called to make nested stores
//   _g_n_r  reprint: a missing name reads as itself (true) or None (false)
//   _g_n_i  inherit: assignments store values as given (true) or converted
//   _g_n_s  a flag that set-up always resets to False
// They are written by item assignment, never through __setattr__.  Both
// extensions set stores up through here: var_main's method table runs the
// bodies, and the public class's constructor and factory call set_up() and
// set_up_new().
#include "store/setup.hpp"

#include "store/rules.hpp"

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
    const Names& n = names();
    const Step steps[] = {
        {kWriteFactory, n.i_c_u, instance},
        {kWriteReprint, n.g_n_r, reprint},
        {kWriteInherit, n.g_n_i, inherit},
        {kWriteFlag, n.g_n_s, Py_False},
    };
    for (const Step& s : steps) {
        // Replacing an old value may run its finalizer, which may replace
        // the dict itself: fetch it for every write.
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
    const Names& n = names();
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyList_SET_ITEM(list, i, Py_NewRef(n.settings[i]));
    }
    return list;
}

int
set_up(PyObject* self, PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept
{
    Resolved found = resolve(self, names().set_class);
    if (found.is(Def::set_class)) {
        PyObject* fn = found.function();
        return Ref::steal(run_as(
                   fn,
                   [&](Call& call) { return set_class(call, self, factory, reprint, inherit); }))
                   ? 0
                   : -1;
    }
    return std::move(found).call(self, names().set_class, {factory, reprint, inherit}) ? 0 : -1;
}

namespace {

// The type version for which a new store of that type was last found to
// take the direct set-up: the answer stands until the type or a base
// changes, which gives the type a new version.
unsigned int direct_version = 0;

bool
direct_set_up(PyTypeObject* tp) noexcept
{
    if (cpy::version_tag(tp) != 0 && cpy::version_tag(tp) == direct_version) {
        return true;
    }
    const Names& n = names();
    bool direct = dict_is_plain(tp) && is_our_method(type_attr(tp, n.set_class), Def::set_class);
    for (int i = 0; direct && i < 4; ++i) {
        direct = type_attr(tp, n.settings[i]) == nullptr;
    }
    // The lookups gave the type a version if it can have one (0: none).
    if (direct) {
        direct_version = cpy::version_tag(tp);
    }
    return direct;
}

}  // namespace

int
set_up_new(PyObject* self, PyObject* factory, PyObject* reprint, PyObject* inherit,
           PyObject* filled) noexcept
{
    // A store just made holds nothing that could hide _set_class, and
    // nothing that a write could replace.  When the class has nothing under
    // the setting names either, storing them as plain attributes is the same
    // as writing them into __dict__.
    if (!direct_set_up(Py_TYPE(self))) {
        return set_up(self, factory, reprint, inherit);
    }
    if (filled != nullptr) {
        Ref d = Ref::steal(PyDict_Copy(filled));
        if (!d) {
            return -1;
        }
        // Nothing else has seen the dict: the only moment a watch can start.
        watch_new_dict(d.get());
        // `self.__dict__ = d`: the store takes d as its dict without making
        // one first.  What the standard slot (the one dict_is_plain() found)
        // would do to a store just made is done in place when the internals
        // door can; otherwise the slot is called.
        if (cpy::set_first_dict(self, d.get())) {
            return 0;
        }
        PyGetSetDef* slot = cpy::getset_def(state().cls.dict_descr);
        if (slot == nullptr || slot->set == nullptr) {
            return PyObject_GenericSetDict(self, d.get(), nullptr);
        }
        return slot->set(self, d.get(), slot->closure);
    }
    PyObject* const values[] = {factory, reprint, inherit, Py_False};
    for (int i = 0; i < 4; ++i) {
        if (PyObject_GenericSetAttr(self, names().settings[i], values[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

int
SkipRule::own() noexcept
{
    if (state_ == Known::Unknown) {
        Resolved skip = resolve(self_, names().skip);
        if (skip.failed()) {
            return -1;
        }
        state_ = skip.is(Def::skip) ? Known::Own : Known::Other;
    }
    return state_ == Known::Own;
}

int
SkipRule::test(PyObject* key) noexcept
{
    if (PyUnicode_CheckExact(key)) {
        const int mine = own();
        if (mine < 0) {
            return -1;
        }
        if (mine) {
            return is_setting_name(key);
        }
    }
    state_ = Known::Unknown;
    Ref skip = call_method(self_, names().skip, {});
    if (!skip) {
        return -1;
    }
    return PySequence_Contains(skip.get(), key);
}

}  // namespace vm

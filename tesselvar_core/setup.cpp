// tesselvar_core/setup.cpp: making and setting up stores.
//
// A store is set up by `self._set_class(factory, reprint, inherit)`, looked
// up on the store so that a subclass's override runs.  While that lookup
// finds var_main's own _set_class, its four writes are done here: item
// assignment into `self.__dict__`, fetched afresh for each write as that
// method does, in its order.
#include "core.hpp"

#include "runtime/internals.hpp"

#include <cstddef>

namespace tv {

int
set_up(PyObject* self, PyObject* factory, PyObject* reprint,
       PyObject* inherit) noexcept
{
    int own = resolves_to(self, g.s_set_class, g.set_class);
    if (own < 0) {
        return -1;
    }
    if (!own) {
        PyObject* stack[] = {nullptr, self, factory, reprint, inherit};
        Ref r = Ref::steal(PyObject_VectorcallMethod(
            g.s_set_class, stack + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
            nullptr));
        return r ? 0 : -1;
    }
    PyObject* const values[] = {factory, reprint, inherit, Py_False};
    for (int i = 0; i < 4; ++i) {
        // Replacing an old value may run its finalizer, which may replace
        // the dict itself: fetch it for every write.
        Ref d = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!d || PyDict_SetItem(d.get(), g.settings[i], values[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

namespace {

// The type version for which a fresh store of that type was last found to
// take the direct set-up: the answer stands until the type or a base
// changes, which gives the type a new version.
unsigned int g_direct_version = 0;

bool
direct_set_up(PyTypeObject* tp) noexcept
{
    if (vm::cpy::version_tag(tp) != 0 && vm::cpy::version_tag(tp) == g_direct_version) {
        return true;
    }
    bool direct = plain_access(tp) &&
                  vm::cpy::type_lookup(tp, g.s_set_class) == g.set_class;
    for (int i = 0; direct && i < 4; ++i) {
        direct = vm::cpy::type_lookup(tp, g.settings[i]) == nullptr;
    }
    // The lookups gave the type a version if it can have one (0: none).
    if (direct) {
        g_direct_version = vm::cpy::version_tag(tp);
    }
    return direct;
}

}  // namespace

int
set_up_fresh(PyObject* self, PyObject* factory, PyObject* reprint,
             PyObject* inherit) noexcept
{
    // A store just made holds nothing that could hide _set_class, and
    // nothing that a write could replace.  When the class has nothing under
    // the setting names either, storing them as plain attributes is the same
    // as writing them into __dict__.
    if (!direct_set_up(Py_TYPE(self))) {
        return set_up(self, factory, reprint, inherit);
    }
    // With a shared factory the whole dict is known: copy it.
    PyObject* filled = shared_settings(factory, reprint, inherit);
    if (filled != nullptr) {
        Ref d = Ref::steal(PyDict_Copy(filled));
        if (!d) {
            return -1;
        }
        // Nothing else has seen the dict: var_main may watch it (the only
        // moment a watch can start, see var_main's dispatch.cpp).
        g.link->watch_new_dict(d.get());
        // `self.__dict__ = d` through the slot that plain_access() found
        // (the store is of its class): the store takes d as its dict
        // without making one first.
        PyGetSetDef* slot = vm::cpy::getset_def(g.dict_descr);
        if (slot == nullptr || slot->set == nullptr) {
            return PyObject_GenericSetDict(self, d.get(), nullptr);
        }
        return slot->set(self, d.get(), slot->closure);
    }
    PyObject* const values[] = {factory, reprint, inherit, Py_False};
    for (int i = 0; i < 4; ++i) {
        if (PyObject_GenericSetAttr(self, g.settings[i], values[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

bool
construction_is_own() noexcept
{
    return g.store->tp_new == PyBaseObject_Type.tp_new &&
           g.store->tp_init == store_init;
}

Ref
new_bare_store() noexcept
{
    // TesselVarMain.__new__ is object.__new__, which for a class that is
    // not abstract only allocates.
    PyTypeObject* tp = g.store;
    if (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!no_args) {
            return no_args;
        }
        return Ref::steal(
            PyBaseObject_Type.tp_new(tp, no_args.get(), nullptr));
    }
    return Ref::steal(tp->tp_alloc(tp, 0));
}

namespace {

// TesselVar(...) itself, while neither __new__ nor __init__ is replaced:
// the steps of type.__call__ without its argument tuple and dict.  Anything
// out of the ordinary goes the ordinary way.
PyObject*
store_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                 PyObject* kwnames) noexcept
{
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    PyObject* params[2] = {Py_True, Py_False};
    bool plain = tp == g.store && construction_is_own() && nargs + nkw <= 2;
    for (Py_ssize_t i = 0; plain && i < nargs; ++i) {
        params[i] = args[i];
    }
    for (Py_ssize_t i = 0; plain && i < nkw; ++i) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
        int slot = PyUnicode_Check(kw) && PyUnicode_EqualToUTF8(kw, "reprint")
                       ? 0
                   : PyUnicode_Check(kw) &&
                           PyUnicode_EqualToUTF8(kw, "inherit")
                       ? 1
                       : -1;
        plain = slot >= nargs;  // neither unknown nor given twice
        if (plain) {
            params[slot] = args[nargs + i];
        }
    }
    if (nkw == 2 && plain) {
        plain = PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0),
                                  PyTuple_GET_ITEM(kwnames, 1)) != 0;
    }
    if (!plain) {
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        Ref dict = Ref::steal(nkw ? PyDict_New() : nullptr);
        if (!tuple || (nkw && !dict)) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        }
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i),
                               args[nargs + i]) < 0) {
                return nullptr;
            }
        }
        return PyType_Type.tp_call(type, tuple.get(), dict.get());
    }
    Ref reprint = Ref::borrow(params[0]);
    Ref inherit = Ref::borrow(params[1]);
    Ref factory = factory_for(reprint.get(), inherit.get());
    Ref store = new_bare_store();
    if (!factory || !store ||
        set_up_fresh(store.get(), factory.get(), reprint.get(),
                     inherit.get()) < 0) {
        return nullptr;
    }
    return store.release();
}

}  // namespace

void
install_vectorcall(PyTypeObject* tp) noexcept
{
    // Not inherited: subclasses are called through type.__call__.
    tp->tp_vectorcall = store_vectorcall;
}

int
store_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    static const char* kwlist[] = {"reprint", "inherit", nullptr};
    PyObject* reprint = Py_True;
    PyObject* inherit = Py_False;
    if ((PyTuple_GET_SIZE(args) != 0 || kwargs != nullptr) &&
        !PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:TesselVar",
                                     const_cast<char**>(kwlist), &reprint,
                                     &inherit)) {
        return -1;
    }
    Ref factory = factory_for(reprint, inherit);
    if (!factory) {
        return -1;
    }
    return set_up(self, factory.get(), reprint, inherit);
}

}  // namespace tv

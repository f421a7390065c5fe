// tesselvar_core/setup.cpp: making stores: TesselVar(...) and its __init__.
//
// A store is set up by `self._set_class(factory, reprint, inherit)`
// (store/setup.hpp: set_up, and set_up_new for a store just made).
#include "store/setup.hpp"
#include "core.hpp"

#include <cstddef>

namespace tv {

bool
construction_is_own() noexcept
{
    return g.store->tp_new == PyBaseObject_Type.tp_new && g.store->tp_init == store_init;
}

Ref
new_store(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept
{
    // TesselVarMain.__new__ is object.__new__, which for a class that is
    // not abstract only allocates.
    PyTypeObject* tp = g.store;
    Ref store;
    if (tp->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        Ref no_args = Ref::steal(PyTuple_New(0));
        store = no_args ? Ref::steal(PyBaseObject_Type.tp_new(tp, no_args.get(), nullptr)) : Ref();
    }
    else {
        store = Ref::steal(tp->tp_alloc(tp, 0));
    }
    if (!store || vm::set_up_new(store.get(), factory, reprint, inherit,
                                 shared_settings(factory, reprint, inherit)) < 0) {
        return Ref();
    }
    return store;
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
        int slot = PyUnicode_Check(kw) && PyUnicode_EqualToUTF8(kw, "reprint")   ? 0
                   : PyUnicode_Check(kw) && PyUnicode_EqualToUTF8(kw, "inherit") ? 1
                                                                                 : -1;
        plain = slot >= nargs;  // neither unknown nor given twice
        if (plain) {
            params[slot] = args[nargs + i];
        }
    }
    if (nkw == 2 && plain) {
        plain = PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, 0), PyTuple_GET_ITEM(kwnames, 1)) != 0;
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
            if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
        return PyType_Type.tp_call(type, tuple.get(), dict.get());
    }
    Ref reprint = Ref::borrow(params[0]);
    Ref inherit = Ref::borrow(params[1]);
    Ref factory = factory_for(reprint.get(), inherit.get());
    return factory ? new_store(factory.get(), reprint.get(), inherit.get()).release() : nullptr;
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
        !PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:TesselVar", const_cast<char**>(kwlist),
                                     &reprint, &inherit)) {
        return -1;
    }
    Ref factory = factory_for(reprint, inherit);
    if (!factory) {
        return -1;
    }
    return vm::set_up(self, factory.get(), reprint, inherit);
}

}  // namespace tv

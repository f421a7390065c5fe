// tesselvar_core/setup.cpp: making stores: TesselVar(...) and its __init__.
//
// A store is set up by `self._set_class(factory, reprint, inherit)`
// (store/setup.hpp: set_up, and set_up_new for a store just made).
#include "store/setup.hpp"
#include "core.hpp"
#include "runtime/arguments.hpp"
#include "store/resolve.hpp"

#include <cstddef>
#include <vector>

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

const char* const kInitNames[] = {"data", "reprint", "inherit"};
PyObject* const kInitDefaults[] = {Py_None, Py_True, Py_False};
const vm::Signature kInit = {"TesselVar.__init__", kInitNames, kInitDefaults, 1, 1, 3, true, true};

// What TesselVar(...) was given: the document as a dict of its own (or
// none), the settings, and **variables (or none).
struct Given {
    Ref data;
    PyObject* reprint = Py_True;
    PyObject* inherit = Py_False;
    Ref variables;
};

// Matches and checks the arguments.  False with the error set.
bool
take(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Given& given) noexcept
{
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError,
                     "TesselVar() takes one positional argument, a mapping of variables (%zd "
                     "given); the settings are keyword-only: TesselVar(data, reprint=..., "
                     "inherit=...)",
                     nargs);
        return false;
    }
    PyObject* values[3];
    if (!vm::match_signature(kInit, args, nargs, kwnames, values, &given.variables)) {
        return false;
    }
    given.reprint = values[1];
    given.inherit = values[2];
    PyObject* data = values[0];
    if (PyDict_CheckExact(data)) {
        given.data = Ref::borrow(data);
    }
    else if (data != Py_None) {
        // Any mapping, taken as dict(data) takes it: through keys() and
        // __getitem__.
        int mapping = PyDict_Check(data) ? 1 : PyObject_HasAttrWithError(data, vm::names().keys);
        if (mapping == 0) {
            PyErr_Format(PyExc_TypeError,
                         "TesselVar() takes a mapping of variables as its positional argument, "
                         "not %.100s; the settings are keyword-only: TesselVar(reprint=..., "
                         "inherit=...)",
                         Py_TYPE(data)->tp_name);
        }
        given.data = mapping > 0 ? Ref::steal(PyDict_New()) : Ref();
        if (!given.data || PyDict_Merge(given.data.get(), data, 1) < 0) {
            return false;
        }
    }
    return (!given.data || check_document(given.data.get())) &&
           (!given.variables || check_document(given.variables.get()));
}

// A store just set up gets the document, then the variables, as
// self._mv_add(data) and self._mv_add(variables) give them.
int
load(PyObject* self, const Given& given) noexcept
{
    for (const Ref* part : {&given.data, &given.variables}) {
        if (*part && PyDict_GET_SIZE(part->get()) > 0 &&
            !vm::call_method(self, vm::names().mv_add, {part->get()})) {
            return -1;
        }
    }
    return 0;
}

// TesselVar(...) itself, while neither __new__ nor __init__ is replaced:
// the steps of type.__call__ without its argument tuple and dict.  Anything
// out of the ordinary goes the ordinary way.
PyObject*
store_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                 PyObject* kwnames) noexcept
{
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (tp != g.store || !construction_is_own()) {
        // type.__call__, which honours a replaced __new__ or __init__.
        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
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
    if (nargs == 0 && kwnames == nullptr && g.shared_factories[kDefaults] != nullptr) {
        // TesselVar(): the default settings, and their shared factory.
        return new_store(g.shared_factories[kDefaults], Py_True, Py_False).release();
    }
    Given given;
    if (!take(args, nargs, kwnames, given)) {
        return nullptr;
    }
    Ref factory = factory_for(given.reprint, given.inherit);
    Ref store = factory ? new_store(factory.get(), given.reprint, given.inherit) : Ref();
    if (!store || ((given.data || given.variables) && load(store.get(), given) < 0)) {
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
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    Given given;
    if (nargs + nkw > 0) {
        // The vectorcall layout of the call: positionals, then keyword values
        // named by a tuple.
        Ref kwnames = Ref::steal(nkw > 0 ? PyTuple_New(nkw) : nullptr);
        std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
        }
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        for (Py_ssize_t i = 0; kwnames && PyDict_Next(kwargs, &pos, &key, &value); ++i) {
            PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
            stack[static_cast<std::size_t>(nargs + i)] = value;
        }
        if ((nkw > 0 && !kwnames) || !take(stack.data(), nargs, kwnames.get(), given)) {
            return -1;
        }
    }
    Ref factory = factory_for(given.reprint, given.inherit);
    if (!factory || vm::set_up(self, factory.get(), given.reprint, given.inherit) < 0) {
        return -1;
    }
    return load(self, given);
}

}  // namespace tv

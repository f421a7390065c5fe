// tesselvar_core/factory.cpp: the store factory, tesselvar._Factory.
//
// Called with no arguments, it makes a bare TesselVar and sets it up with
// itself and its two settings, so one factory serves a store and all its
// nested stores.  It is immutable, so the four made for the bool settings
// are shared by every store that has those settings.
#include "core.hpp"
#include "store/state.hpp"

#include <cstddef>

namespace tv {

namespace {

struct Factory {
    PyObject_HEAD PyObject* reprint;
    PyObject* inherit;
    vectorcallfunc vectorcall;
};

Factory*
as_factory(PyObject* self) noexcept
{
    return reinterpret_cast<Factory*>(self);
}

// A factory in a cycle of garbage is cleared by the collector, and a
// finalizer or weakref callback of the same garbage may still reach it: it
// then refuses to make stores (it no longer knows their settings).
bool
settings_kept(Factory* f) noexcept
{
    if (f->reprint != nullptr && f->inherit != nullptr) {
        return true;
    }
    PyErr_SetString(PyExc_ReferenceError, "this TesselVar factory was cleared by the garbage "
                                          "collector");
    return false;
}

PyObject*
factory_call(PyObject* self, PyObject* const*, std::size_t nargsf, PyObject* kwnames) noexcept
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "_Factory.__call__() takes 1 positional argument but "
                     "%zd were given",
                     nargs + 1);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "_Factory.__call__() got an unexpected keyword argument "
                     "'%U'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    Factory* f = as_factory(self);
    if (!settings_kept(f)) {
        return nullptr;
    }
    // The settings are held while the store is set up: nothing the set-up
    // runs can drop them under us.
    Ref reprint = Ref::borrow(f->reprint);
    Ref inherit = Ref::borrow(f->inherit);
    if (!construction_is_own()) {
        // The class's construction was replaced: honour it, as TesselVar()
        // does, by calling the class with the settings.
        Ref kwargs =
            Ref::steal(Py_BuildValue("{sOsO}", "reprint", reprint.get(), "inherit", inherit.get()));
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!kwargs || !no_args) {
            return nullptr;
        }
        return PyObject_Call(reinterpret_cast<PyObject*>(g.store), no_args.get(), kwargs.get());
    }
    return new_store(self, reprint.get(), inherit.get()).release();
}

PyObject*
make(PyTypeObject* tp, PyObject* reprint, PyObject* inherit) noexcept
{
    Factory* f = PyObject_GC_New(Factory, tp);
    if (f == nullptr) {
        return nullptr;
    }
    f->reprint = Py_NewRef(reprint);
    f->inherit = Py_NewRef(inherit);
    f->vectorcall = factory_call;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

int
bool_index(PyObject* reprint, PyObject* inherit) noexcept
{
    if ((reprint != Py_True && reprint != Py_False) ||
        (inherit != Py_True && inherit != Py_False)) {
        return -1;
    }
    return (reprint == Py_True) * 2 + (inherit == Py_True);
}

PyObject*
factory_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept
{
    static const char* kwlist[] = {"reprint", "inherit", nullptr};
    PyObject* reprint;
    PyObject* inherit;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_Factory", const_cast<char**>(kwlist),
                                     &reprint, &inherit)) {
        return nullptr;
    }
    return factory_for(reprint, inherit).release();
}

int
factory_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_factory(self)->reprint);
    Py_VISIT(as_factory(self)->inherit);
    return 0;
}

int
factory_clear(PyObject* self) noexcept
{
    Py_CLEAR(as_factory(self)->reprint);
    Py_CLEAR(as_factory(self)->inherit);
    return 0;
}

void
factory_dealloc(PyObject* self) noexcept
{
    dealloc_collected(self, factory_clear);
}

PyObject*
factory_repr(PyObject* self) noexcept
{
    Factory* f = as_factory(self);
    if (f->reprint == nullptr || f->inherit == nullptr) {
        return PyUnicode_FromString("<TesselVar factory (cleared)>");
    }
    Ref reprint = Ref::borrow(f->reprint);
    Ref inherit = Ref::borrow(f->inherit);
    return PyUnicode_FromFormat("<TesselVar factory reprint=%R inherit=%R>", reprint.get(),
                                inherit.get());
}

PyObject*
factory_reduce(PyObject* self, PyObject*) noexcept
{
    Factory* f = as_factory(self);
    if (!settings_kept(f)) {
        return nullptr;
    }
    return Py_BuildValue("O(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), f->reprint,
                         f->inherit);
}

PyMethodDef factory_methods[] = {
    {"__reduce__", factory_reduce, METH_NOARGS,
     "Pickled and copied as _Factory(reprint, inherit)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef factory_members[] = {
    {"reprint", Py_T_OBJECT_EX, offsetof(Factory, reprint), Py_READONLY,
     "The reprint setting given to every store made."},
    {"inherit", Py_T_OBJECT_EX, offsetof(Factory, inherit), Py_READONLY,
     "The inherit setting given to every store made."},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Factory, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char kFactoryDoc[] = "_Factory(reprint, inherit)\n--\n\n"
                           "The store factory: makes empty, set-up nested stores.\n"
                           "\n"
                           "One factory serves a store and all its nested stores (they share the\n"
                           "settings), so making a nested store allocates nothing but the store.";

PyType_Slot factory_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(factory_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(factory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(factory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(factory_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(factory_repr)},
    {Py_tp_methods, factory_methods},
    {Py_tp_members, factory_members},
    {Py_tp_doc, const_cast<char*>(kFactoryDoc)},
    {0, nullptr},
};

PyType_Spec factory_spec = {
    "tesselvar._Factory",
    sizeof(Factory),
    0,
    // Immutable once named (make_factory_type).
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    factory_slots,
};

}  // namespace

bool
makes_plainly(PyObject* factory) noexcept
{
    if (!Py_IS_TYPE(factory, g.factory) || !construction_is_own()) {
        return false;
    }
    const Factory* f = as_factory(factory);
    return f->reprint != nullptr && (f->inherit == Py_True || f->inherit == Py_False);
}

PyObject*
make_plainly(PyObject* factory) noexcept
{
    if (!makes_plainly(factory)) {
        return nullptr;
    }
    const Factory* f = as_factory(factory);
    Ref store = new_store(factory, f->reprint, f->inherit);
    return store ? store.release() : nullptr;
}

bool
factory_makes(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept
{
    if (!Py_IS_TYPE(factory, g.factory)) {
        return false;
    }
    const Factory* f = as_factory(factory);
    return f->reprint == reprint && f->inherit == inherit && reprint != nullptr;
}

Ref
factory_for(PyObject* reprint, PyObject* inherit) noexcept
{
    int i = bool_index(reprint, inherit);
    if (i >= 0 && g.shared_factories[i] != nullptr) {
        return Ref::borrow(g.shared_factories[i]);
    }
    return Ref::steal(make(g.factory, reprint, inherit));
}

PyObject*
shared_settings(PyObject* factory, PyObject* reprint, PyObject* inherit) noexcept
{
    int i = bool_index(reprint, inherit);
    return i >= 0 && factory == g.shared_factories[i] ? g.shared_settings[i] : nullptr;
}

bool
make_factory_type(PyObject* module) noexcept
{
    g.factory =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &factory_spec, nullptr));
    if (g.factory == nullptr) {
        return false;
    }
    // Messages name the type by its tp_name, "_Factory" for a class
    // statement: setting __name__ makes it so.  Then the type is frozen like
    // one made immutable from the start.
    Ref name = Ref::steal(PyUnicode_InternFromString("_Factory"));
    if (!name || PyObject_SetAttrString(reinterpret_cast<PyObject*>(g.factory), "__name__",
                                        name.get()) < 0) {
        return false;
    }
    g.factory->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(g.factory);
    PyObject* const flags[] = {Py_False, Py_True};
    for (int i = 0; i < 4; ++i) {
        PyObject* f = make(g.factory, flags[i / 2], flags[i % 2]);
        g.shared_factories[i] = f;
        g.shared_settings[i] = f == nullptr ? nullptr : PyDict_New();
        PyObject* const values[] = {f, flags[i / 2], flags[i % 2], Py_False};
        for (int k = 0; k < 4 && g.shared_settings[i] != nullptr; ++k) {
            if (PyDict_SetItem(g.shared_settings[i], vm::names().settings[k], values[k]) < 0) {
                return false;
            }
        }
        if (g.shared_settings[i] == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace tv

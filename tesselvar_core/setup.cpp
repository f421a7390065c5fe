// tesselvar_core/setup.cpp: making and setting up stores.
//
// A store is set up by `self._set_class(factory, reprint, inherit)`, looked
// up on the store so that a subclass's override runs.  While that lookup
// finds var_main's own _set_class, its four writes are done here: item
// assignment into `self.__dict__`, fetched afresh for each write as that
// method does, in its order.
#include "core.hpp"

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

Ref
new_bare_store() noexcept
{
    // TesselVarMain.__new__ is object.__new__.
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return no_args;
    }
    return Ref::steal(
        PyBaseObject_Type.tp_new(g.store, no_args.get(), nullptr));
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

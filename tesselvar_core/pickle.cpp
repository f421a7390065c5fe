// tesselvar_core/pickle.cpp: pickling and copying stores.
//
// A store whose settings are just what its factory gives the stores it
// makes (the factory is one of ours, and the store is a TesselVar with its
// settings first in its dict, as set-up leaves them) is reduced to "call the
// factory, then give the new store these entries": the factory is pickled
// once for a whole tree and each nested store costs a reference to it, so
// the settings are not repeated per store.  The entries go as a flat tuple
// (name, value, name, value, ...) set straight into the new store's dict by
// __setstate__, after the store exists, so identity and cycles survive.  Any
// other store is reduced to its class and its whole dict.  copy.copy and
// pickle find the reduction through copyreg; copy.deepcopy asks for
// __deepcopy__ first, and an instance answers every name (the reprint
// fallback), so the class has its own.
#include "core.hpp"
#include "store/rules.hpp"

namespace tv {

namespace {

PyObject* newobj = nullptr;      // copyreg.__newobj__
PyObject* deepcopy = nullptr;    // copy.deepcopy
PyObject* empty_args = nullptr;  // ()

// (callable, args, state) for `self`.
PyObject*
store_reduce(PyObject* self, PyObject*) noexcept
{
    Ref d = vm::instance_dict(self);
    if (!d || !vm::require_dict(d.get())) {
        return nullptr;
    }
    const vm::Names& n = vm::names();
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    PyObject* settings[4] = {};
    bool own = Py_IS_TYPE(self, g.store) && PyDict_GET_SIZE(d.get()) >= 4;
    for (int i = 0; own && i < 4; ++i) {
        own = PyDict_Next(d.get(), &pos, &key, &value) && key == n.settings[i];
        settings[i] = value;
    }
    own = own && settings[3] == Py_False && factory_makes(settings[0], settings[1], settings[2]);
    if (!own) {
        Ref whole = Ref::steal(PyDict_Copy(d.get()));
        return whole ? Py_BuildValue("O(O)O", newobj, reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                     whole.get())
                     : nullptr;
    }
    const Py_ssize_t count = PyDict_GET_SIZE(d.get()) - 4;
    Ref entries = Ref::steal(PyTuple_New(2 * count));
    if (!entries) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count && PyDict_Next(d.get(), &pos, &key, &value); ++i) {
        PyTuple_SET_ITEM(entries.get(), 2 * i, Py_NewRef(key));
        PyTuple_SET_ITEM(entries.get(), 2 * i + 1, Py_NewRef(value));
    }
    PyObject* rv = PyTuple_New(3);
    if (rv != nullptr) {
        PyTuple_SET_ITEM(rv, 0, Py_NewRef(settings[0]));
        PyTuple_SET_ITEM(rv, 1, Py_NewRef(empty_args));
        PyTuple_SET_ITEM(rv, 2, entries.release());
    }
    return rv;
}

// The entries of a reduction: a flat tuple of names and values, or (from
// a class reduction, or an older pickle) a dict; stored in the dict as they
// are, not through __setattr__.
PyObject*
store_setstate(PyObject* self, PyObject* state) noexcept
{
    Ref d = vm::instance_dict(self);
    if (!d) {
        return nullptr;
    }
    if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) % 2 == 0) {
        Ref held = Ref::borrow(state);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state); i += 2) {
            if (vm::dict_store(d.get(), PyTuple_GET_ITEM(state, i),
                               PyTuple_GET_ITEM(state, i + 1)) < 0) {
                return nullptr;
            }
        }
        return vm::new_none();
    }
    if (PyDict_Check(state)) {
        return PyDict_Check(d.get()) && PyDict_Update(d.get(), state) == 0 ? vm::new_none()
                                                                           : nullptr;
    }
    PyErr_Format(PyExc_TypeError, "a TesselVar's state is a tuple or a dict, not %.100s",
                 Py_TYPE(state)->tp_name);
    return nullptr;
}

// copy.deepcopy(self, memo): the reduction rebuilt with its state copied
// deeply, as copy rebuilds any reduction; the new store is in the memo
// before its entries are copied, so cycles come back as cycles.
PyObject*
store_deepcopy(PyObject* self, PyObject* memo) noexcept
{
    Ref rv = Ref::steal(store_reduce(self, nullptr));
    if (!rv) {
        return nullptr;
    }
    PyObject* make = PyTuple_GET_ITEM(rv.get(), 0);
    PyObject* args = PyTuple_GET_ITEM(rv.get(), 1);
    Ref copy = Ref::steal(PyObject_Call(make, args, nullptr));
    Ref id = copy ? Ref::steal(PyLong_FromVoidPtr(self)) : Ref();
    if (!id || (memo != Py_None && PyObject_SetItem(memo, id.get(), copy.get()) < 0)) {
        return nullptr;
    }
    PyObject* call[] = {PyTuple_GET_ITEM(rv.get(), 2), memo};
    Ref state = Ref::steal(PyObject_Vectorcall(deepcopy, call, 2, nullptr));
    if (!state || !Ref::steal(store_setstate(copy.get(), state.get()))) {
        return nullptr;
    }
    return copy.release();
}

}  // namespace

PyMethodDef kPickleMethods[] = {
    {"__reduce__", store_reduce, METH_NOARGS,
     "A compact reduction: the store's factory and its entries."},
    {"__setstate__", store_setstate, METH_O, "Store the entries of a reduction as they are."},
    {"__deepcopy__", store_deepcopy, METH_O, "A deep copy, nested stores and cycles included."},
    {nullptr, nullptr, 0, nullptr},
};

bool
register_pickling() noexcept
{
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref copy = Ref::steal(PyImport_ImportModule("copy"));
    if (!copyreg || !copy) {
        return false;
    }
    newobj = PyObject_GetAttrString(copyreg.get(), "__newobj__");
    deepcopy = PyObject_GetAttrString(copy.get(), "deepcopy");
    empty_args = PyTuple_New(0);
    Ref reduce =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g.store), "__reduce__"));
    return newobj != nullptr && deepcopy != nullptr && empty_args != nullptr && reduce &&
           Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO", g.store, reduce.get()));
}

}  // namespace tv

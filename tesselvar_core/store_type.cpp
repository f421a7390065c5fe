// tesselvar_core/store_type.cpp: the class tesselvar.TesselVar.
//
// A heap type deriving from var_main.TesselVarMain, mutable and subclassable
// like a class written in Python; its instances keep TesselVarMain's
// managed __dict__ and weak references.  Its own parts are __init__ and the
// three methods var_main calls on nested stores (methods.cpp); copies and
// pickles are added in Python by the package.
#include "core.hpp"
#include "runtime/function.hpp"
#include "runtime/internals.hpp"
#include "store/state.hpp"

namespace tv {

namespace {

const char kStoreDoc[] =
    "TesselVar(data=None, /, *, reprint=True, inherit=False, **variables)\n--\n\n"
    "A store of named variables.\n"
    "\n"
    "``data``: a mapping loaded as nested stores (as _mv_add does), then\n"
    "``variables`` (as add does); every key is checked first.\n"
    "``reprint``: a name that is not set reads as the name itself (true)\n"
    "or as None (false).  ``inherit``: attribute assignment stores values\n"
    "as given (true) or turns dicts into nested stores and list/set/tuple\n"
    "into lists (false).  Nested stores get the same two settings.\n"
    "\n"
    "add(**kw), keys() and get(name, default=None) always mean the methods:\n"
    "a variable of the same name is stored, exported and found by _mv_get\n"
    "and store[name], but does not hide them.  A store is a mapping of its\n"
    "variables (store[name], in, len, iter) and pickles and copies as one;\n"
    "tesselvar.load/loads/dump/dumps read and write files.\n"
    "\n"
    "The store's own methods come from var_main.TesselVarMain.  help() lists\n"
    "only the names without a leading underscore, so ask for these one at a\n"
    "time, for example help(TesselVar._mv_get):\n"
    "\n"
    "- fill: _mv_add (merging), _mv_set, _mv_set_kwargs, _set_attr,\n"
    "  _set_dict, _set_list\n"
    "- read: _mv_get (name, \"$.a.b\" path or sequence of steps, with\n"
    "  default), _mv_keys, _mv_values, _mv_items\n"
    "- remove: _mv_pop, _mv_pops, _mv_clear\n"
    "- export: _mv_to_dict, _to_dict, _list_to_dict\n"
    "- text: _mv_to_params, _mv_to_string, __repr__\n"
    "- frame: _set_class, _skip, __getattr__, __setattr__";

PyType_Slot store_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(store_init)},
    {Py_mp_subscript, reinterpret_cast<void*>(store_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(store_setitem)},
    {Py_mp_length, reinterpret_cast<void*>(store_len)},
    {Py_sq_contains, reinterpret_cast<void*>(store_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(store_iter)},
    {Py_nb_bool, reinterpret_cast<void*>(store_truth)},
    {Py_tp_methods, kPickleMethods},
    {Py_tp_doc, const_cast<char*>(kStoreDoc)},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "tesselvar.TesselVar",
    0,  // TesselVarMain's layout
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    store_slots,
};

}  // namespace

bool
make_store_type(PyObject* module) noexcept
{
    // The rules run on the State var_main made at start-up (importing it
    // makes sure there is one), and know its functions by their type.
    Ref var_main = Ref::steal(PyImport_ImportModule("var_main"));
    if (!var_main || !vm::cpy::verify() || !vm::adopt_state()) {
        return false;
    }
    Ref base = Ref::borrow(reinterpret_cast<PyObject*>(vm::state().cls.type));
    PyObject* sample = vm::cpy::type_lookup(vm::state().cls.type, vm::names().mv_keys);
    if (sample == nullptr || !vm::adopt_function_type(sample)) {
        PyErr_SetString(PyExc_ImportError, "var_main.TesselVarMain has no methods of its own");
        return false;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) {
        return false;
    }
    PyObject* cls = PyType_FromModuleAndSpec(module, &store_spec, bases.get());
    if (cls == nullptr) {
        return false;
    }
    g.store = reinterpret_cast<PyTypeObject*>(cls);
    install_vectorcall(g.store);
    // Nested stores are known by type(x).__name__ and messages show the
    // type's tp_name: both must be "TesselVar", as for a class statement.
    // Setting __name__ makes tp_name the name alone; __module__ stays
    // "tesselvar".
    Ref name = Ref::steal(PyUnicode_InternFromString("TesselVar"));
    return name && PyObject_SetAttrString(cls, "__name__", name.get()) == 0 && make_methods(module);
}

}  // namespace tv

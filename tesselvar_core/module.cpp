// tesselvar_core/module.cpp: start-up of tesselvar._core.
//
// The module builds its types once per process (they derive from
// var_main.TesselVarMain, which exists once per process too) and hands the
// same objects to a module object made again after a reload.  Its globals:
// TesselVar and _Factory.
#include "core.hpp"

namespace tv {

Shared g;

namespace {

bool g_ready = false;

bool
build(PyObject* module) noexcept
{
    return make_store_type(module) && make_factory_type(module) && make_keys_types(module) &&
           register_pickling();
}

// The types derive from var_main's class and hold var_main's objects, and
// var_main serves one interpreter per process: the main one, here, so that a
// sub-interpreter importing the package first can neither take var_main
// from the main interpreter nor hand its own objects to it.  The check runs
// in the create step because the interpreter enforces the slot below only
// when it asks for isolation.
PyObject*
module_create(PyObject* spec, PyModuleDef*) noexcept
{
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, "tesselvar._core can only be loaded into the main "
                                           "interpreter of a process");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

int
module_exec(PyObject* module) noexcept
{
    if (!g_ready) {
        // A failure leaves what was made so far to the life of the process;
        // a later import starts again from the beginning.
        if (!build(module)) {
            g = Shared{};
            return -1;
        }
        g_ready = true;
    }
    if (PyModule_AddObjectRef(module, "TesselVar", reinterpret_cast<PyObject*>(g.store)) < 0 ||
        PyModule_AddObjectRef(module, "_Factory", reinterpret_cast<PyObject*>(g.factory)) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tesselvar._core",
    "The compiled parts of tesselvar: TesselVar and its store factory.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tv

PyMODINIT_FUNC
PyInit__core(void)  // NOLINT(bugprone-reserved-identifier): the module is _core
{
    return PyModuleDef_Init(&tv::module_def);
}

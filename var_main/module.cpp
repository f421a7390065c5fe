// var_main/module.cpp: start-up.
//
// Multi-phase initialisation with a create and an exec step.  The module
// exists once per process and serves the first interpreter that created it:
//   create  refuses any other interpreter, hands back the module object made
//           earlier (after `del sys.modules["var_main"]`, say), or makes one
//   exec    does nothing for that same object again, refuses another one,
//           then runs the module body: the typing names, the class, __test__
// A failure in the body adds an "init var_main" traceback entry at the line
// of the failing statement, and nothing is kept, so a later import retries.
#include "methods.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/internals.hpp"
#include "store/resolve.hpp"
#include "store/state.hpp"

namespace vm {

namespace {

// Where the methods live; the globals are the module's, once it exists.
Home home{"var_main", "TesselVarMain", "var_main.py"};
std::int64_t interpreter_id = -1;   // the interpreter the module serves
PyObject* module_object = nullptr;  // owned once the exec step succeeded

const char kModuleDoc[] = "var_main: a store of named variables kept in the instance __dict__.\n"
                          "\n"
                          "Defines TesselVarMain, the base of the public store class TesselVar.";

const char kClassDoc[] =
    "\n    TesselVarMain 类用于管理和操作变量集合，支持添加、删除、获取、转换等操作。\n    ";

// Lines of the module body that an "init var_main" entry can point at.
constexpr int kModuleTop = 1;        // start-up before the body runs
constexpr int kImportTyping = 14;    // from typing import Dict, List, ...
constexpr int kClassStatement = 19;  // class TesselVarMain:

int
fail_init(int line)
{
    add_traceback(home, "init var_main", line);
    return -1;
}

// Copies spec.<from> onto the module as <to>.
bool
copy_from_spec(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none)
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !allow_none) {
        return true;
    }
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

PyObject*
module_create(PyObject* spec, PyModuleDef*) noexcept
{
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::int64_t id = PyInterpreterState_GetID(interp);
    if (interpreter_id == -1) {
        interpreter_id = id;
        state().interp = interp;
    }
    else if (interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_object != nullptr) {
        return Py_NewRef(module_object);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !copy_from_spec(spec, module.get(), "loader", "__loader__", true) ||
        !copy_from_spec(spec, module.get(), "origin", "__file__", true) ||
        !copy_from_spec(spec, module.get(), "parent", "__package__", true) ||
        !copy_from_spec(spec, module.get(), "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

// from typing import Dict, List, Optional, Any, Union, Set, Tuple
bool
import_typing(PyObject* globals)
{
    static const char* const kNames[] = {"Dict",  "List", "Optional", "Any",
                                         "Union", "Set",  "Tuple"};
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return false;
    }
    for (const char* n : kNames) {
        Ref s = Ref::steal(PyUnicode_FromString(n));
        if (!s || PyList_Append(fromlist.get(), s.get()) < 0) {
            return false;
        }
    }
    Ref typing =
        Ref::steal(PyImport_ImportModuleLevel("typing", globals, nullptr, fromlist.get(), 0));
    if (!typing) {
        return false;
    }
    for (const char* n : kNames) {
        Ref value = Ref::steal(PyObject_GetAttrString(typing.get(), n));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'typing'", n);
            }
            return false;
        }
        if (PyDict_SetItemString(globals, n, value.get()) < 0) {
            return false;
        }
    }
    return true;
}

// The class statement, as type("TesselVarMain", (), namespace).
bool
create_class(PyObject* globals)
{
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyUnicode_FromString("var_main"));
    Ref qualname = Ref::steal(PyUnicode_FromString("TesselVarMain"));
    Ref doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!ns || !module_name || !qualname || !doc ||
        PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
        return false;
    }
    for (const MethodSpec& spec : method_table()) {
        Ref fn = make_function(spec, home);
        if (!fn) {
            return false;
        }
        if (spec.kind == Kind::Static) {
            fn = Ref::steal(PyStaticMethod_New(fn.get()));
            if (!fn) {
                return false;
            }
        }
        if (PyDict_SetItemString(ns.get(), spec.name, fn.get()) < 0) {
            return false;
        }
    }
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                               "TesselVarMain", ns.get()));
    if (!cls) {
        return false;
    }
    return record_class(cls.get()) && start_hiding_watch() &&
           PyDict_SetItemString(globals, "TesselVarMain", cls.get()) == 0;
}

int
module_exec(PyObject* module) noexcept
{
    if (module_object != nullptr) {
        if (module == module_object) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'var_main' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    home.globals = globals;

    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return fail_init(kModuleTop);
    }

    const auto runtime_major = static_cast<long>((Py_Version >> 24) & 0xff);
    const auto runtime_minor = static_cast<long>((Py_Version >> 16) & 0xff);
    if (runtime_major != PY_MAJOR_VERSION || runtime_minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module "
                             "'%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, "var_main", "does not match",
                             static_cast<int>(runtime_major),
                             static_cast<int>(runtime_minor)) < 0) {
            return fail_init(kModuleTop);
        }
    }

    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = Ref::steal(PyUnicode_FromString("var_main"));
    int present = key ? PyDict_Contains(modules, key.get()) : -1;
    if (present < 0 || (!present && PyDict_SetItem(modules, key.get(), module) < 0)) {
        return fail_init(kModuleTop);
    }

    if (!ready_function_type(home) || !init_names() || !cpy::verify()) {
        return fail_init(kModuleTop);
    }
    if (!import_typing(globals)) {
        return fail_init(kImportTyping);
    }
    if (!create_class(globals)) {
        return fail_init(kClassStatement);
    }
    if (!publish_state()) {
        return fail_init(kModuleTop);
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0) {
        return fail_init(kModuleTop);
    }
    module_object = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "var_main",    // m_name
    kModuleDoc,    // m_doc
    0,             // m_size: the state is held once per process
    nullptr,       // m_methods: no module-level functions
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

}  // namespace vm

PyMODINIT_FUNC
PyInit_var_main(void)
{
    return PyModuleDef_Init(&vm::module_def);
}

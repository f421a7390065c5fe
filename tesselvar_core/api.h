/* tesselvar_core/api.h: what tesselvar._core offers other extensions.
 *
 * The module exports a capsule "tesselvar._core._C_API" that points to one
 * static TesselVarCoreAPI.  A caller that must not import the package looks
 * the module up in sys.modules (PyImport_GetModule("tesselvar._core")) and,
 * when it is there, reads the capsule with PyCapsule_Import or
 * PyCapsule_GetPointer.
 *
 * add, keys and get are the very descriptor objects kept in TesselVar's
 * type dict: when _PyType_Lookup(Py_TYPE(x), "keys") == api->keys, x's
 * class has not replaced the method and x.keys() is the class's own. */
#ifndef TESSELVAR_CORE_API_H
#define TESSELVAR_CORE_API_H

#include <Python.h>

#define TESSELVAR_CORE_API_VERSION 1
#define TESSELVAR_CORE_CAPSULE "tesselvar._core._C_API"

#ifdef __cplusplus
extern "C" {
#endif

struct TesselVarCoreAPI {
    int version;               /* TESSELVAR_CORE_API_VERSION */
    PyTypeObject* type;        /* tesselvar.TesselVar */
    PyObject* add;             /* TesselVar.__dict__["add"] */
    PyObject* keys;            /* TesselVar.__dict__["keys"] */
    PyObject* get;             /* TesselVar.__dict__["get"] */
    PyObject* factory_type;    /* tesselvar._Factory */
};

#ifdef __cplusplus
}
#endif

#endif /* TESSELVAR_CORE_API_H */

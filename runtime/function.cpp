// runtime/function.cpp: our function type.
//
// Each method of a class of ours is an object of this type, and Python code must
// not be able to tell it from a function written in Python where it matters:
//   * binding: stored in a class, it binds like a function (tp_descr_get: a
//     bound method for an instance, itself for class access);
//   * calls: vectorcall, with Py_TPFLAGS_METHOD_DESCRIPTOR so that
//     `store.m(...)`, the interpreter's __getattr__/__setattr__ slots and
//     PyObject_VectorcallMethod call it with `self` in front and no bound
//     method in between;
//   * introspection: inspect.signature treats an object as function-like when
//     it has __name__, __code__, __defaults__, __kwdefaults__ and
//     __annotations__ of the right types; help() and pydoc read __doc__,
//     __qualname__ and __module__; pickle reads __reduce__.
// It is not a types.FunctionType, which tools such as unittest.mock's
// autospec test for by type; the README says what works there.
// The type is static, so PyType_Ready makes it immutable: without
// Py_TPFLAGS_IMMUTABLETYPE the interpreter never specialises `store.m()` on a
// class with __getattr__, and every call would allocate a bound method.
#include "runtime/function.hpp"

#include "runtime/arguments.hpp"
#include "runtime/call.hpp"
#include "runtime/depth.hpp"
#include "runtime/errors.hpp"
#include "runtime/internals.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vm {

namespace function_detail {
PyTypeObject* type = nullptr;
}  // namespace function_detail

namespace {

using function_detail::as_function;
using function_detail::Function;

// Static, so that PyType_Ready makes it immutable (and immortal).
PyTypeObject FunctionType{PyVarObject_HEAD_INIT(nullptr, 0)};
char type_name_buffer[64];
char type_doc_buffer[96];

// The call.  Argument errors count `self` and carry the def line; a refused
// exact type adds no traceback entry (the caller's frame is where it went
// wrong); everything else is the body's.
PyObject*
function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) noexcept
{
    Function* f = as_function(callable);
    const MethodSpec& spec = *f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* const* values = args;
    PyObject* matched[kMaxParams];
    // The common call passes every parameter by position: use it in place.
    if (nargs != spec.nparams || (kwnames && PyTuple_GET_SIZE(kwnames))) {
        if (!match_arguments(spec, f->names, args, nargs, kwnames, matched)) {
            add_traceback(*f->home, f->tbname, spec.line);
            return nullptr;
        }
        values = matched;
    }
    if (!check_argument_types(spec, *f->home, values)) {
        return nullptr;
    }
    return run_body(callable, values);
}

// Binding like a Python function: class access (obj NULL or None) gives
// the function itself, instance access a real types.MethodType, which is
// what inspect.signature and pickle expect of a bound method.  Most calls
// never get here: the method-descriptor flag lets the interpreter call us
// with `self` in front instead.
PyObject*
function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

// "<function Class.name at 0x...>", as a Python function shows.
PyObject*
function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// The collector sees every reference that could be part of a cycle (the
// globals hold the class, which holds the function); clear drops exactly
// those, and the getters answer None for a cleared one.
int
function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int
function_clear(PyObject* self) noexcept
{
    Function* f = as_function(self);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void
function_dealloc(PyObject* self) noexcept
{
    Function* f = as_function(self);
    PyObject_GC_UnTrack(self);
    for (PyObject*& n : f->names) {
        Py_CLEAR(n);
    }
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    function_clear(self);
    PyObject_GC_Del(self);
}

// --- Attributes ---------------------------------------------------------------

// A field of the function, or None once the collector cleared it; the
// closure points at the member.
PyObject*
get_field(PyObject* self, void* closure) noexcept
{
    using Member = PyObject* Function::*;
    const Member member = *static_cast<Member*>(closure);
    PyObject* v = reinterpret_cast<Function*>(self)->*member;
    return Py_NewRef(v != nullptr ? v : Py_None);
}

// inspect.signature requires __kwdefaults__ to exist (None: no keyword-only
// parameters).
PyObject*
get_kwdefaults(PyObject*, void*) noexcept
{
    return Py_NewRef(Py_None);
}
// A Python function's __annotations__ is a dict made on demand; ours is made
// at start-up, and only comes back empty after the collector cleared it.
PyObject*
get_annotations(PyObject* self, void*) noexcept
{
    Function* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}

// The fields read as they are; a getset's closure points at the member.
PyObject* Function::*field_members[] = {
    &Function::name, &Function::qualname, &Function::module,  &Function::doc,
    &Function::code, &Function::defaults, &Function::globals,
};

PyGetSetDef
field(const char* name, PyObject* Function::*& member) noexcept
{
    return {name, get_field, nullptr, nullptr, &member};
}

PyGetSetDef function_getset[] = {
    field("__name__", field_members[0]),
    field("__qualname__", field_members[1]),
    field("__module__", field_members[2]),
    field("__doc__", field_members[3]),
    field("__code__", field_members[4]),
    field("__defaults__", field_members[5]),
    field("__globals__", field_members[6]),
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickles by reference, like a Python function: "Class.name" is found again
// as module.Class.name.
PyObject*
function_reduce(PyObject* self, PyObject*) noexcept
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- Construction -----------------------------------------------------------

// __code__ is a complete code object: the signature, file, name and line
// of the method, and a body that only raises.  Running it on its own (exec,
// types.FunctionType) therefore fails with an exception; a code object
// without instructions would make the interpreter execute whatever follows.
// It is compiled from a small def and then moved to the method's line.
Ref
make_code(const MethodSpec& spec, const Home& home, PyObject* name, PyObject* qualname) noexcept
{
    Ref varnames = Ref::steal(PyTuple_New(spec.nparams));
    if (!varnames) {
        return Ref();
    }
    for (int i = 0; i < spec.nparams; ++i) {
        PyObject* v = PyUnicode_InternFromString(spec.params[i].name);
        if (v == nullptr) {
            return Ref();
        }
        PyTuple_SET_ITEM(varnames.get(), i, v);
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref params = separator ? Ref::steal(PyUnicode_Join(separator.get(), varnames.get())) : Ref();
    if (!params) {
        return Ref();
    }
    Ref source = Ref::steal(
        PyUnicode_FromFormat("def %U(%U):\n"
                             "    raise NotImplementedError('%U() is implemented in C++; its "
                             "__code__ cannot be run on its own')\n",
                             name, params.get(), qualname));
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    if (text == nullptr) {
        return Ref();
    }
    // optimize=0: the same code whatever -O the interpreter runs with.
    Ref module = Ref::steal(Py_CompileStringExFlags(text, home.file, Py_file_input, nullptr, 0));
    if (!module) {
        return Ref();
    }
    PyObject* body = nullptr;  // borrowed from the module code's constants
    PyObject* consts = cpy::code_consts(module.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) {
            body = PyTuple_GET_ITEM(consts, i);
        }
    }
    if (body == nullptr) {
        PyErr_SetString(PyExc_SystemError, "no code object for a method");
        return Ref();
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(body, "replace"));
    Ref line = Ref::steal(PyLong_FromLong(spec.line));
    Ref changes = Ref::steal(PyDict_New());
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!replace || !line || !changes || !no_args ||
        PyDict_SetItemString(changes.get(), "co_firstlineno", line.get()) < 0 ||
        PyDict_SetItemString(changes.get(), "co_qualname", qualname) < 0) {
        return Ref();
    }
    return Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get()));
}

// __defaults__: the defaults of the trailing parameters, as a Python def
// gives them, or None when no parameter has one.
Ref
make_defaults(const MethodSpec& spec) noexcept
{
    int first = 0;
    while (first < spec.nparams && spec.params[first].fallback == Default::Required) {
        ++first;
    }
    if (first == spec.nparams) {
        return Ref::borrow(Py_None);
    }
    Ref t = Ref::steal(PyTuple_New(spec.nparams - first));
    if (!t) {
        return Ref();
    }
    for (int i = first; i < spec.nparams; ++i) {
        PyObject* v = spec.params[i].fallback == Default::False ? Py_False : Py_None;
        PyTuple_SET_ITEM(t.get(), i - first, Py_NewRef(v));
    }
    return t;
}

// __annotations__: each parameter after self, in order, then "return", all
// as the annotation text (the module keeps annotations as strings).
Ref
make_annotations(const MethodSpec& spec) noexcept
{
    Ref d = Ref::steal(PyDict_New());
    if (!d) {
        return Ref();
    }
    for (int i = 0; i < spec.nparams; ++i) {
        const Param& p = spec.params[i];
        if (p.annotation == nullptr) {
            continue;  // self
        }
        Ref v = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!v || PyDict_SetItemString(d.get(), p.name, v.get()) < 0) {
            return Ref();
        }
    }
    Ref r = Ref::steal(PyUnicode_FromString(spec.returns));
    if (!r || PyDict_SetItemString(d.get(), "return", r.get()) < 0) {
        return Ref();
    }
    return d;
}

}  // namespace

bool
ready_function_type(const Home& home) noexcept
{
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    std::snprintf(type_name_buffer, sizeof type_name_buffer, "%s.function", home.module);
    std::snprintf(type_doc_buffer, sizeof type_doc_buffer, "A method of %s, implemented in C++.",
                  home.cls);
    FunctionType.tp_name = type_name_buffer;
    FunctionType.tp_basicsize = sizeof(Function);
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_getattro = PyObject_GenericGetAttr;
    FunctionType.tp_setattro = PyObject_GenericSetAttr;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                            Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION;
    FunctionType.tp_doc = type_doc_buffer;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    if (PyType_Ready(&FunctionType) < 0) {
        return false;
    }
    function_detail::type = &FunctionType;
    return true;
}

bool
adopt_function_type(PyObject* sample) noexcept
{
    PyTypeObject* tp = Py_TYPE(sample);
    const char* dot = std::strrchr(tp->tp_name, '.');
    if (tp->tp_basicsize != sizeof(Function) || dot == nullptr ||
        std::strcmp(dot, ".function") != 0 || tp->tp_descr_get == nullptr ||
        !(tp->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        return false;
    }
    function_detail::type = tp;
    return true;
}

Ref
make_function(const MethodSpec& spec, const Home& home) noexcept
{
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", home.cls, spec.name));
    Ref module = Ref::steal(PyUnicode_InternFromString(home.module));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    if (!name || !qualname || !module || !doc) {
        return Ref();
    }
    Ref code = make_code(spec, home, name.get(), qualname.get());
    Ref defaults = make_defaults(spec);
    Ref annotations = make_annotations(spec);
    if (!code || !defaults || !annotations) {
        return Ref();
    }
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr) {
        return Ref();
    }
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->home = &home;
    for (PyObject*& n : f->names) {
        n = nullptr;
    }
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module.release();
    f->doc = doc.release();
    f->code = code.release();
    f->defaults = defaults.release();
    f->annotations = annotations.release();
    f->globals = Py_NewRef(home.globals);
    f->dict = nullptr;
    std::snprintf(f->tbname, sizeof f->tbname, "%s.%s.%s", home.module, home.cls, spec.name);
    for (int i = 0; i < spec.nparams; ++i) {
        f->names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (f->names[i] == nullptr) {
            return Ref();
        }
    }
    PyObject_GC_Track(result.get());
    return result;
}

PyObject*
call_own(PyObject* fn, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
         PyThreadState* ts) noexcept
{
    Function* f = as_function(fn);
    const MethodSpec& spec = *f->spec;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const Py_ssize_t npos = n - nkw;
    bool direct = n <= spec.nparams;
    for (Py_ssize_t k = 0; direct && k < nkw; ++k) {
        direct = PyTuple_GET_ITEM(kwnames, k) == f->names[npos + k];
    }
    PyObject* values[kMaxParams];
    for (Py_ssize_t i = 0; direct && i < spec.nparams; ++i) {
        if (i < n) {
            values[i] = args[i];
        }
        else if (spec.params[i].fallback == Default::Required) {
            direct = false;  // the matcher says what is missing
        }
        else {
            values[i] = spec.params[i].fallback == Default::False ? Py_False : Py_None;
        }
    }
    if (!direct) {
        return function_vectorcall(
            fn, args, static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    }
    if (!check_argument_types(spec, *f->home, values)) {
        return nullptr;
    }
    return run_body(fn, values, ts);
}

PyObject*
run_body(PyObject* fn, PyObject* const* values, PyThreadState* ts) noexcept
{
    Entry entry = as_function(fn)->spec->entry;
    return run_as(
        fn, [entry, values](Call& call) { return entry(call, values); }, ts);
}

}  // namespace vm

// tesselvar_core/keys_view.cpp: what TesselVar.keys() returns.
//
// A live, set-like view of the names of a store's variables: the entries of
// `store.__dict__` that the exclusion rule keeps.  `in` probes the dict and
// then applies the rule to that one key; iteration walks the dict in its
// order, raising "dictionary changed size during iteration" like a dict
// iterator; the set operations and comparisons work on a set of the names,
// as those of dict views do.
//
// Neither type holds anything the collector must clear for it.  Every cycle
// through a view runs through its store, whose own clear (it empties the
// store's dict) breaks it, so the view has no tp_clear, like CPython's dict
// views: a finalizer or weakref callback of the same garbage that reaches it
// finds it whole.  The iterator may also hold a foreign iterator, so it does
// clear, and answers as exhausted once cleared.
#include "core.hpp"
#include "store/public_class.hpp"
#include "store/rules.hpp"
#include "store/setup.hpp"

#include <utility>

namespace tv {

namespace {

struct KeysView {
    PyObject_HEAD PyObject* store;
};

struct KeysIter {
    PyObject_HEAD PyObject* store;
    PyObject* dict;  // the dict walked; NULL once the walk is over
    PyObject* it;    // the iterator of a __dict__ that is not a dict
    Py_ssize_t pos;
    Py_ssize_t size;  // -1 once the size changed: the error sticks
    Py_ssize_t left;
};

PyObject*
store_of(PyObject* view) noexcept
{
    return reinterpret_cast<KeysView*>(view)->store;
}

// --- Iteration ------------------------------------------------------------

PyObject*
iter_next(PyObject* self) noexcept
{
    auto* it = reinterpret_cast<KeysIter*>(self);
    if (it->store == nullptr) {
        return nullptr;  // cleared by the collector: exhausted
    }
    // Python code ran since the last step: decide everything afresh.
    Ref store = Ref::borrow(it->store);
    vm::SkipRule rule(store.get());
    for (;;) {
        Ref key;
        if (it->it != nullptr) {
            key = Ref::steal(PyIter_Next(it->it));
            if (!key) {
                return nullptr;
            }
        }
        else {
            if (it->dict == nullptr) {
                return nullptr;
            }
            if (it->size < 0 || PyDict_GET_SIZE(it->dict) != it->size) {
                it->size = -1;
                vm::raise_dict_changed();
                return nullptr;
            }
            PyObject* k;
            PyObject* v;
            if (!PyDict_Next(it->dict, &it->pos, &k, &v)) {
                Py_CLEAR(it->dict);
                return nullptr;
            }
            if (it->left-- <= 0) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return nullptr;
            }
            key = Ref::borrow(k);
        }
        int excluded = rule.test(key.get());
        if (excluded < 0) {
            return nullptr;
        }
        if (!excluded) {
            return key.release();
        }
    }
}

int
iter_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    auto* it = reinterpret_cast<KeysIter*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->store);
    Py_VISIT(it->dict);
    Py_VISIT(it->it);
    return 0;
}

int
iter_clear(PyObject* self) noexcept
{
    auto* it = reinterpret_cast<KeysIter*>(self);
    Py_CLEAR(it->store);
    Py_CLEAR(it->dict);
    Py_CLEAR(it->it);
    return 0;
}

void
iter_dealloc(PyObject* self) noexcept
{
    dealloc_collected(self, iter_clear);
}

PyType_Slot iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
    {0, nullptr},
};

PyType_Spec iter_spec = {
    "tesselvar._core.TesselVarKeysIterator",
    sizeof(KeysIter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    iter_slots,
};

// --- The view ---------------------------------------------------------------

PyObject*
view_iter(PyObject* self) noexcept
{
    return new_keys_iter(store_of(self)).release();
}

Ref
as_set(PyObject* iterable) noexcept
{
    return Ref::steal(PySet_New(iterable));
}

Py_ssize_t
view_len(PyObject* self) noexcept
{
    Ref it = Ref::steal(view_iter(self));
    if (!it) {
        return -1;
    }
    Py_ssize_t n = 0;
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            return PyErr_Occurred() ? -1 : n;
        }
        ++n;
    }
}

int
view_contains(PyObject* self, PyObject* key) noexcept
{
    Ref store = Ref::borrow(store_of(self));
    return vm::has_variable(store.get(), key);
}

PyObject*
view_repr(PyObject* self) noexcept
{
    int busy = Py_ReprEnter(self);
    if (busy != 0) {
        return busy > 0 ? PyUnicode_FromString("...") : nullptr;
    }
    Ref names = Ref::steal(PySequence_List(self));
    PyObject* text = names ? PyUnicode_FromFormat("%s(%R)", "TesselVarKeys", names.get()) : nullptr;
    Py_ReprLeave(self);
    return text;
}

bool
is_set_like(PyObject* o) noexcept
{
    return PyAnySet_Check(o) || Py_IS_TYPE(o, g.keys_view) || PyDictKeys_Check(o) ||
           PyDictItems_Check(o);
}

PyObject*
view_richcompare(PyObject* self, PyObject* other, int op) noexcept
{
    if (!is_set_like(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref mine = as_set(self);
    Ref theirs = PyAnySet_Check(other) ? Ref::borrow(other) : as_set(other);
    if (!mine || !theirs) {
        return nullptr;
    }
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

// x <op> y with at least one of them a view: a new set, as dict views give:
// the set of the left operand (of the view, for a symmetric operation)
// updated with the other by `Update`.
template <const char* Update, bool Symmetric>
PyObject*
view_operation(PyObject* x, PyObject* y) noexcept
{
    if (Symmetric && !Py_IS_TYPE(x, g.keys_view)) {
        std::swap(x, y);
    }
    Ref result = as_set(x);
    if (!result) {
        return nullptr;
    }
    Ref r = Ref::steal(PyObject_CallMethod(result.get(), Update, "O", y));
    return r ? result.release() : nullptr;
}

constexpr char kAnd[] = "intersection_update";
constexpr char kOr[] = "update";
constexpr char kXor[] = "symmetric_difference_update";
constexpr char kSub[] = "difference_update";

PyObject*
view_isdisjoint(PyObject* self, PyObject* other) noexcept
{
    Ref it = Ref::steal(PyObject_GetIter(other));
    if (!it) {
        return nullptr;
    }
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            return PyErr_Occurred() ? nullptr : Py_NewRef(Py_True);
        }
        int found = view_contains(self, item.get());
        if (found != 0) {
            return found < 0 ? nullptr : Py_NewRef(Py_False);
        }
    }
}

int
view_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(store_of(self));
    return 0;
}

void
view_dealloc(PyObject* self) noexcept
{
    dealloc_collected(self, [](PyObject* view) noexcept {
        Py_CLEAR(reinterpret_cast<KeysView*>(view)->store);
        return 0;
    });
}

PyMethodDef view_methods[] = {
    {"isdisjoint", view_isdisjoint, METH_O, "True when no name is also in the other iterable."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_sq_length, reinterpret_cast<void*>(view_len)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(view_richcompare)},
    {Py_nb_and, reinterpret_cast<void*>(view_operation<kAnd, true>)},
    {Py_nb_or, reinterpret_cast<void*>(view_operation<kOr, true>)},
    {Py_nb_xor, reinterpret_cast<void*>(view_operation<kXor, true>)},
    {Py_nb_subtract, reinterpret_cast<void*>(view_operation<kSub, false>)},
    {Py_tp_methods, view_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_doc, const_cast<char*>("The names of a store's variables, as a live set-like "
                                  "view.")},
    {0, nullptr},
};

PyType_Spec view_spec = {
    "tesselvar._core.TesselVarKeys",
    sizeof(KeysView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    view_slots,
};

}  // namespace

Ref
new_keys_view(PyObject* store) noexcept
{
    KeysView* v = PyObject_GC_New(KeysView, g.keys_view);
    if (v == nullptr) {
        return Ref();
    }
    v->store = Py_NewRef(store);
    PyObject_GC_Track(v);
    return Ref::steal(reinterpret_cast<PyObject*>(v));
}

Ref
new_keys_iter(PyObject* store_) noexcept
{
    Ref store = Ref::borrow(store_);
    Ref d = vm::instance_dict(store.get());
    if (!d) {
        return Ref();
    }
    Ref inner;
    // A dict subclass is walked as `for name in store.__dict__` walks it,
    // through its own iteration, like `in` asks its own __contains__.
    if (!PyDict_CheckExact(d.get())) {
        inner = Ref::steal(PyObject_GetIter(d.get()));
        if (!inner) {
            return Ref();
        }
        d.reset();
    }
    KeysIter* it = PyObject_GC_New(KeysIter, g.keys_iter);
    if (it == nullptr) {
        return Ref();
    }
    it->pos = 0;
    it->size = d ? PyDict_GET_SIZE(d.get()) : 0;
    it->left = it->size;
    it->store = store.release();
    it->dict = d.release();
    it->it = inner.release();
    PyObject_GC_Track(it);
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

bool
make_keys_types(PyObject* module) noexcept
{
    g.keys_iter =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &iter_spec, nullptr));
    g.keys_view =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &view_spec, nullptr));
    return g.keys_iter != nullptr && g.keys_view != nullptr;
}

}  // namespace tv

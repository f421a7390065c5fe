// var_main/export.cpp: a store back into plain containers, and its text forms.
//
// Export (_mv_to_dict -> _to_dict -> _to_dict/_list_to_dict) tests each value
// in a fixed order: a nested store (its type is named "TesselVar"), then a
// list/set/tuple, and only then the exclusion rule, so an internal setting
// that holds a sequence or a nested store is exported like a variable.  Only
// the top level is sorted.  Leaves are the very objects stored.
//
// Renderings (_mv_to_params, _mv_to_string, __repr__) apply the exclusion
// rule to every entry and show str(name) before repr(value).
#include "methods.hpp"
#include "store.hpp"

namespace vm {

namespace {

// dict(sorted(d.items())): pairs compare as tuples, so keys that cannot be
// ordered raise the comparison's TypeError.
Ref
sorted_copy(PyObject* d)
{
    Ref items = Ref::steal(PyDict_Items(d));
    if (!items || PyList_Sort(items.get()) < 0) {
        return Ref();
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        if (PyDict_SetItem(result.get(), PyTuple_GET_ITEM(pair, 0),
                           PyTuple_GET_ITEM(pair, 1)) < 0) {
            return Ref();
        }
    }
    return result;
}

// `self._to_dict(value.__dict__)` for a nested store.
Ref
export_nested(PyObject* self, PyObject* nested)
{
    Ref d = Ref::steal(PyObject_GetAttr(nested, names.dunder_dict));
    if (!d) {
        return Ref();
    }
    return call_method(self, names.to_dict, {d.get()});
}

enum class Form { Params, Listing };

// One entry's text: str(name) first, then repr(value).
Ref
entry_text(PyObject* name, PyObject* value, Form form)
{
    Ref n = Ref::steal(PyObject_Str(name));
    if (!n) {
        return Ref();
    }
    Ref v = Ref::steal(PyObject_Repr(value));
    if (!v) {
        return Ref();
    }
    if (form == Form::Params) {
        Ref head = Ref::steal(PyUnicode_Concat(n.get(), names.equals));
        return head ? Ref::steal(PyUnicode_Concat(head.get(), v.get()))
                    : Ref();
    }
    return Ref::steal(PyUnicode_FromFormat("\"%U\": \"%U\"", n.get(), v.get()));
}

// Collects the entry texts of every entry of `d` that the exclusion rule
// keeps, walking `d` in its order.
Ref
entry_texts(PyObject* self, PyObject* d, Form form)
{
    Ref texts = Ref::steal(PyList_New(0));
    if (!texts) {
        return Ref();
    }
    DictWalk walk(d);
    SkipRule rule(self);
    Ref key, value;
    for (;;) {
        int more = walk.next(key, value);
        if (more < 0) {
            return Ref();
        }
        if (more == 0) {
            break;
        }
        int skipped = rule.test(key.get());
        if (skipped < 0) {
            return Ref();
        }
        if (skipped) {
            continue;
        }
        Ref text = entry_text(key.get(), value.get(), form);
        rule.invalidate();  // str() and repr() may have run any code
        if (!text || PyList_Append(texts.get(), text.get()) < 0) {
            return Ref();
        }
    }
    return texts;
}

PyObject*
render(Call& call, PyObject* self, Form form, PyObject* separator,
       int walk_line, int join_line)
{
    Ref d = instance_dict(self);
    if (!d || !require_dict(d.get())) {
        return call.fail(walk_line);
    }
    Ref texts = entry_texts(self, d.get(), form);
    if (!texts) {
        return call.fail(walk_line);
    }
    PyObject* joined = PyUnicode_Join(separator, texts.get());
    return joined != nullptr ? joined : call.fail(join_line);
}

}  // namespace

PyObject*
to_dict(Call& call, Any self, Dict kwargs, Any sort)
{
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return call.fail(194);
    }
    DictWalk walk(kwargs.p);
    SkipRule rule(self);
    Ref name, value;
    for (;;) {
        int more = walk.next(name, value);
        if (more < 0) {
            return call.fail(195);
        }
        if (more == 0) {
            break;
        }
        int nested = is_nested_store(value.get());
        if (nested < 0) {
            return call.fail(196);
        }
        if (nested || is_sequence(value.get()) ||
            !Py_IS_TYPE(reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                        &PyType_Type)) {
            rule.invalidate();  // a metaclass or a conversion ran code
        }
        if (nested) {
            Ref test = export_nested(self, value.get());
            if (!test) {
                return call.fail(197);
            }
            if (PyDict_SetItem(result.get(), name.get(), test.get()) < 0) {
                return call.fail(198);
            }
            continue;
        }
        if (is_sequence(value.get())) {
            Ref test = call_method(self, names.list_to_dict, {value.get()});
            if (!test) {
                return call.fail(200);
            }
            if (PyDict_SetItem(result.get(), name.get(), test.get()) < 0) {
                return call.fail(201);
            }
            continue;
        }
        int skipped = rule.test(name.get());
        if (skipped < 0) {
            return call.fail(202);
        }
        if (skipped) {
            continue;
        }
        if (PyDict_SetItem(result.get(), name.get(), value.get()) < 0) {
            return call.fail(205);
        }
    }
    int sorting = truth(sort);
    if (sorting < 0) {
        return call.fail(206);
    }
    if (sorting) {
        result = sorted_copy(result.get());
        if (!result) {
            return call.fail(207);
        }
    }
    return result.release();
}

PyObject*
list_to_dict(Call& call, Any self, Any array)
{
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return call.fail(217);
    }
    Ref it = Ref::steal(PyObject_GetIter(array));
    if (!it) {
        return call.fail(218);
    }
    for (;;) {
        Ref element = Ref::steal(PyIter_Next(it.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                return call.fail(218);
            }
            break;
        }
        int nested = is_nested_store(element.get());
        if (nested < 0) {
            return call.fail(219);
        }
        Ref converted;
        int line;
        if (nested) {
            converted = export_nested(self, element.get());
            line = 220;
        }
        else if (is_sequence(element.get())) {
            converted = call_method(self, names.list_to_dict, {element.get()});
            line = 222;
        }
        else {
            converted = std::move(element);
            line = 224;
        }
        if (!converted || PyList_Append(result.get(), converted.get()) < 0) {
            return call.fail(line);
        }
    }
    return result.release();
}

PyObject*
mv_to_dict(Call& call, Any self, Any sort)
{
    Ref d = instance_dict(self);
    if (!d) {
        return call.fail(166);
    }
    Ref result = call_method(self, names.to_dict, {d.get(), sort});
    if (!result || !result_ok(result.get(), &PyDict_Type)) {
        return call.fail(166);
    }
    return result.release();
}

PyObject*
mv_to_params(Call& call, Any self)
{
    return render(call, self, Form::Params, names.amp, 174, 175);
}

PyObject*
mv_to_string(Call& call, Any self)
{
    return render(call, self, Form::Listing, names.comma, 183, 184);
}

PyObject*
repr_hook(Call& call, Any self)
{
    Ref d = instance_dict(self);
    if (!d || !require_dict(d.get())) {
        return call.fail(345);
    }
    Ref print_dict = sorted_copy(d.get());
    if (!print_dict) {
        return call.fail(345);
    }
    d.reset();
    Ref texts = entry_texts(self, print_dict.get(), Form::Params);
    if (!texts) {
        return call.fail(346);
    }
    Ref joined = Ref::steal(PyUnicode_Join(names.comma, texts.get()));
    if (!joined) {
        return call.fail(347);
    }
    return PyUnicode_FromFormat("TesselVar(%U)", joined.get());
}

}  // namespace vm

// tesselvar_core/document.cpp: checking a document before it is loaded.
//
// Every key of every mapping that will become a store's variables (a dict,
// and dicts inside lists, tuples and sets, at any depth) must be a str: the
// load hands them to add(**entries), which takes str keywords only, and a
// failure there would leave a half-loaded store and name neither the key
// nor where it is.  No key may be the name of one of a store's settings
// either: loaded, it would replace the setting.  So the constructor and the
// loaders check the whole document first, and store nothing when a key is
// refused; the error names the key and the "$." path of the mapping that
// holds it (list elements as [i]).  Dict and sequence subclasses are left to
// the load, which unpacks them in their own way.
#include "core.hpp"
#include "runtime/depth.hpp"
#include "store/setup.hpp"
#include "store/state.hpp"

#include <vector>

namespace tv {

namespace {

// A step of the path: a key (borrowed, held by its mapping) or an index.
struct Step {
    PyObject* key;
    Py_ssize_t index;
};

bool
is_container(PyObject* v) noexcept
{
    return PyDict_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v);
}

class Check {
public:
    bool value(PyObject* v) noexcept
    {
        if (PyDict_CheckExact(v)) {
            return mapping(v);
        }
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            const bool list = PyList_CheckExact(v);
            for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v)); ++i) {
                Ref item = Ref::borrow(list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i));
                if (is_container(item.get()) && !within({nullptr, i}, item.get())) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    bool mapping(PyObject* d) noexcept
    {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* item;
        while (PyDict_Next(d, &pos, &key, &item)) {
            if (!PyUnicode_CheckExact(key) || vm::is_setting_name(key)) {
                return refuse(key);
            }
            if (is_container(item) && !within({key, 0}, item)) {
                return false;
            }
        }
        return true;
    }

    bool within(Step step, PyObject* v) noexcept
    {
        vm::Depth depth;
        if (!depth.enter()) {
            return false;
        }
        try {
            path_.push_back(step);
        }
        catch (...) {
            PyErr_NoMemory();
            return false;
        }
        const bool ok = value(v);
        path_.pop_back();
        return ok;
    }

    bool refuse(PyObject* key) noexcept
    {
        Ref where = Ref::steal(PyUnicode_FromString("$"));
        for (const Step& s : path_) {
            where = !where  ? Ref()
                    : s.key ? Ref::steal(PyUnicode_FromFormat("%U.%S", where.get(), s.key))
                            : Ref::steal(PyUnicode_FromFormat("%U[%zd]", where.get(), s.index));
        }
        if (!where) {
            return false;
        }
        if (PyUnicode_CheckExact(key)) {
            PyErr_Format(PyExc_ValueError,
                         "the key %R at %U is the name of a store's setting: loaded, it "
                         "would replace the setting",
                         key, where.get());
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "the key %R at %U is not a str (%.100s): a store's variables are "
                         "named by str keys",
                         key, where.get(), Py_TYPE(key)->tp_name);
        }
        return false;
    }

    std::vector<Step> path_;
};

}  // namespace

bool
check_document(PyObject* data) noexcept
{
    return Check().value(data);
}

}  // namespace tv

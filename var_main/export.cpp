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
#include "store/lines.hpp"
#include "store/rules.hpp"
#include "store/walks.hpp"

#include <algorithm>

namespace vm {

namespace {

// The statements that tracebacks point at (their text: store/methods.txt).
// _to_dict
constexpr Statement kNewResult = at(Def::to_dict, 194);
constexpr Statement kEachName = at(Def::to_dict, 195);
constexpr Statement kTestStore = at(Def::to_dict, 196);
constexpr Statement kExportStore = at(Def::to_dict, 197);
constexpr Statement kAddStore = at(Def::to_dict, 198);
constexpr Statement kExportList = at(Def::to_dict, 200);
constexpr Statement kAddList = at(Def::to_dict, 201);
constexpr Statement kTestSkip = at(Def::to_dict, 202);
constexpr Statement kAddValue = at(Def::to_dict, 205);
constexpr Statement kTestSort = at(Def::to_dict, 206);
constexpr Statement kSortResult = at(Def::to_dict, 207);
// _list_to_dict
constexpr Statement kNewArray = at(Def::list_to_dict, 217);
constexpr Statement kEachElement = at(Def::list_to_dict, 218);
constexpr Statement kElementStore = at(Def::list_to_dict, 219);
constexpr Statement kAppendStore = at(Def::list_to_dict, 220);
constexpr Statement kAppendList = at(Def::list_to_dict, 222);
constexpr Statement kAppendElement = at(Def::list_to_dict, 224);
// _mv_to_dict: return self._to_dict(self.__dict__, sort)
constexpr Statement kCallToDict = at(Def::mv_to_dict, 166);
// _mv_to_params, _mv_to_string: the walk, then the join
constexpr Statement kParamsWalk = at(Def::mv_to_params, 174);
constexpr Statement kParamsJoin = at(Def::mv_to_params, 175);
constexpr Statement kStringWalk = at(Def::mv_to_string, 183);
constexpr Statement kStringJoin = at(Def::mv_to_string, 184);
// __repr__
constexpr Statement kSortedCopy = at(Def::repr_hook, 345);
constexpr Statement kEachPrint = at(Def::repr_hook, 346);
constexpr Statement kJoinPrint = at(Def::repr_hook, 347);

// dict(sorted(d.items())): pairs compare as tuples, so keys that cannot be
// ordered raise the comparison's TypeError.  When every key is an exact str
// no two keys are equal and comparing them runs no code, so sorting the keys
// alone gives the same order more cheaply.
Ref
sorted_copy(PyObject* d)
{
    const bool by_key = PyDict_CheckExact(d) && only_str_keys(d);
    Ref items = Ref::steal(by_key ? PyDict_Keys(d) : PyDict_Items(d));
    if (!items || PyList_Sort(items.get()) < 0) {
        return Ref();
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        int rc;
        if (by_key) {
            PyObject* value = PyDict_GetItemWithError(d, item);  // borrowed
            rc = value != nullptr ? PyDict_SetItem(result.get(), item, value) : -1;
        }
        else {
            rc = PyDict_SetItem(result.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
        }
        if (rc < 0) {
            return Ref();
        }
    }
    return result;
}

// Values whose repr() runs no Python code.
bool
plain_leaf(PyObject* v) noexcept
{
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
           PyFloat_CheckExact(v) || PyBytes_CheckExact(v);
}

// The entries of a dict with only exact str keys, held and sorted by key:
// what dict(sorted(d.items())) would hold, taken together before anything
// is written.  Comparing exact str runs no code and two keys are never
// equal, so any sort gives the order list.sort gives; one-byte keys (the
// usual) compare byte by byte.
class SortedPairs {
public:
    SortedPairs() noexcept = default;
    SortedPairs(const SortedPairs&) = delete;
    SortedPairs& operator=(const SortedPairs&) = delete;
    ~SortedPairs()
    {
        for (Py_ssize_t i = 0; i < n_; ++i) {
            Py_DECREF(pairs_[i].key);
            Py_DECREF(pairs_[i].value);
        }
        PyMem_Free(pairs_);
    }
    bool take(PyObject* d) noexcept
    {
        pairs_ = PyMem_New(Pair, static_cast<std::size_t>(PyDict_GET_SIZE(d)) + 1);
        if (pairs_ == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        bool one_byte = true;
        DictWalk walk(d);
        PyObject* key;
        PyObject* value;
        while (walk.next(&key, &value)) {
            one_byte = one_byte && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND;
            plain_ = plain_ && (plain_leaf(value) || is_setting_name(key));
            pairs_[n_++] = {Py_NewRef(key), Py_NewRef(value)};
        }
        if (one_byte) {
            std::sort(pairs_, pairs_ + n_, [](const Pair& a, const Pair& b) {
                // Names are short: a loop beats a call of memcmp.
                const Py_UCS1* x = PyUnicode_1BYTE_DATA(a.key);
                const Py_UCS1* y = PyUnicode_1BYTE_DATA(b.key);
                const Py_ssize_t n =
                    std::min(PyUnicode_GET_LENGTH(a.key), PyUnicode_GET_LENGTH(b.key));
                for (Py_ssize_t i = 0; i < n; ++i) {
                    if (x[i] != y[i]) {
                        return x[i] < y[i];
                    }
                }
                return PyUnicode_GET_LENGTH(a.key) < PyUnicode_GET_LENGTH(b.key);
            });
        }
        else {
            std::sort(pairs_, pairs_ + n_, [](const Pair& a, const Pair& b) {
                return PyUnicode_Compare(a.key, b.key) < 0;
            });
        }
        return true;
    }
    Py_ssize_t size() const noexcept { return n_; }
    // Does every value but the settings' have a repr() that runs no code?
    bool plain() const noexcept { return plain_; }
    PyObject* key(Py_ssize_t i) const noexcept { return pairs_[i].key; }
    PyObject* value(Py_ssize_t i) const noexcept { return pairs_[i].value; }

private:
    struct Pair {
        PyObject* key;
        PyObject* value;
    };
    Pair* pairs_ = nullptr;
    Py_ssize_t n_ = 0;
    bool plain_ = true;
};

// `self._to_dict(kwargs)` (list: false) or `self._list_to_dict(array)`
// (list: true), one argument each.  While the name resolves to our own
// function and the argument is of the type it checks, its body runs in its
// own level directly, as the call would run it; otherwise the call.
Ref
export_level(PyObject* self, PyObject* arg, bool list)
{
    PyObject* name = list ? names().list_to_dict : names().to_dict;
    Resolved found = resolve(self, name);
    if (found.is(list ? Def::list_to_dict : Def::to_dict) && (list || PyDict_CheckExact(arg))) {
        Ref fn = Ref::borrow(found.function());  // the class may drop it meanwhile
        return Ref::steal(run_as(fn.get(), [self, arg, list](Call& call) {
            return list ? list_to_dict(call, self, arg) : to_dict(call, self, Dict{arg}, Py_False);
        }));
    }
    return std::move(found).call(self, name, {arg});
}

// `self._to_dict(value.__dict__)` for a nested store.
Ref
export_nested(PyObject* self, PyObject* nested)
{
    Ref d = instance_dict(nested);  // `nested.__dict__`
    if (!d) {
        return Ref();
    }
    return export_level(self, d.get(), false);
}

enum class Form { Params, Listing };

using TextWriter = cpy::TextWriter;

// One entry: str(name) first, then repr(value).
bool
write_entry(TextWriter& out, PyObject* name, PyObject* value, Form form)
{
    Ref n = Ref::steal(PyObject_Str(name));
    if (!n) {
        return false;
    }
    Ref v = Ref::steal(PyObject_Repr(value));
    if (!v) {
        return false;
    }
    if (form == Form::Params) {
        return out.str(n.get()) && out.ascii("=", 1) && out.str(v.get());
    }
    return out.ascii("\"", 1) && out.str(n.get()) && out.ascii("\": \"", 4) && out.str(v.get()) &&
           out.ascii("\"", 1);
}

// Writes one entry if the exclusion rule keeps it: -1 error, else 0.
int
write_kept(TextWriter& out, SkipRule& rule, PyObject* key, PyObject* value, Form form,
           const char* sep, Py_ssize_t seplen, bool& first)
{
    int skipped = rule.test(key);
    if (skipped < 0) {
        return -1;
    }
    if (skipped) {
        return 0;
    }
    if (!first && !out.ascii(sep, seplen)) {
        return -1;
    }
    first = false;
    if (!write_entry(out, key, value, form)) {
        return -1;
    }
    if (!PyUnicode_CheckExact(key) || !plain_leaf(value)) {
        rule.invalidate();  // str() or repr() may have run any code
    }
    return 0;
}

// One entry of an exact str name and a value whose repr() runs no code
// (str(name) is the name itself).
bool
write_plain(TextWriter& out, PyObject* name, PyObject* value, Form form)
{
    Ref v = Ref::steal(PyObject_Repr(value));
    if (!v) {
        return false;
    }
    if (form == Form::Params) {
        return out.str(name) && out.ascii("=", 1) && out.str(v.get());
    }
    return out.ascii("\"", 1) && out.str(name) && out.ascii("\": \"", 4) && out.str(v.get()) &&
           out.ascii("\"", 1);
}

// The usual store: our own _skip, exact str names and values whose repr()
// runs no code.  Nothing can change the dict then, so its entries are read
// in place; names are unique, so none needs the test once the four
// settings have gone by.  False (and nothing written) when the store is
// not like that; true when written, or with the error set.
bool
write_plain_entries(TextWriter& out, SkipRule& rule, PyObject* d, Form form, const char* sep,
                    Py_ssize_t seplen)
{
    const int own = rule.own();
    if (own < 0) {
        return true;
    }
    if (!own || !PyDict_CheckExact(d) || !only_str_keys(d)) {
        return false;
    }
    if (!VariableWalk(d).each([](PyObject*, PyObject* v) { return plain_leaf(v); })) {
        return false;
    }
    bool first = true;
    VariableWalk(d).each([&](PyObject* key, PyObject* value) {
        const bool ok = (first || out.ascii(sep, seplen)) && write_plain(out, key, value, form);
        first = false;
        return ok;  // an error stays set
    });
    return true;
}

// Writes every entry of `d` that the exclusion rule keeps, in the dict's
// order, separated by `sep`.
bool
write_entries(TextWriter& out, PyObject* self, PyObject* d, Form form, const char* sep,
              Py_ssize_t seplen)
{
    SkipRule rule(self);  // what the plain case finds serves the walk
    if (write_plain_entries(out, rule, d, form, sep, seplen)) {
        return !PyErr_Occurred();
    }
    DictItems items(d);
    bool first = true;
    for (auto& [key, value] : items) {
        if (write_kept(out, rule, key.get(), value.get(), form, sep, seplen, first) < 0) {
            return false;
        }
    }
    return items.ok();
}

PyObject*
render(Call& call, PyObject* self, Form form, const char* sep, Py_ssize_t seplen, Statement walk,
       Statement join) noexcept
{
    Ref d = instance_dict(self);
    if (!d || !require_dict(d.get())) {
        return call.fail(walk);
    }
    TextWriter out;
    if (!write_entries(out, self, d.get(), form, sep, seplen)) {
        return call.fail(walk);
    }
    PyObject* text = out.finish();
    return text != nullptr ? text : call.fail(join);
}

// --- The export in one walk ------------------------------------------------
// When self's _to_dict, _list_to_dict and _skip are our own, and the tree
// holds only what the literal walk reads without running any code (dicts of
// exact str keys, nested stores whose __dict__ is the standard one, exact
// lists, tuples and sets, and None, bool, int, str, float and bytes), no
// code runs while it is read: nothing can change, and the result is what
// the levels would build, made in one walk without a level per nested store.
// Anything else, or a depth whose levels might not all have room, gives up
// before any code could run: the partial result is dropped (reading had no
// effect) and the literal walk runs from the start; each of its levels
// tries again on its own subtree, so only the levels above what stopped
// the walk run one by one.
class QuickExport {
public:
    QuickExport(PyObject* self, PyThreadState* ts) noexcept : ts_(ts)
    {
        SkipRule rule(self);
        const int skip_own = rule.own();
        PyErr_Clear();  // the literal walk meets it again
        usable_ = skip_own == 1 && resolve(self, names().to_dict).is(Def::to_dict) &&
                  resolve(self, names().list_to_dict).is(Def::list_to_dict);
        PyErr_Clear();
    }
    // The exported dict, or an empty Ref (and no error) to take the literal
    // walk.
    Ref run(PyObject* d) noexcept
    {
        Ref result = usable_ ? dict(d, 0) : Ref();
        if (!result) {
            PyErr_Clear();
        }
        return result;
    }

private:
    // A nested level `depth` levels below the first: would the literal
    // walk's levels down to it all be entered?  (A margin on both counts.)
    bool room(int depth) const noexcept
    {
        return depth < kMaxDepth && room_for(ts_, depth + 2) && stack_left() > kStackMargin;
    }
    enum class Got { Converted, AsIs, GiveUp };
    // What the walk makes of a value that is not a plain leaf: its export
    // (`out`), the value itself (neither a store nor a sequence), or give up.
    Got convert(PyObject* value, int depth, Ref& out) noexcept
    {
        PyTypeObject* tp = Py_TYPE(value);
        if (tp == &PyList_Type || tp == &PyTuple_Type || tp == &PySet_Type) {
            out = room(depth + 1) ? list(value, depth + 1) : Ref();
            return out ? Got::Converted : Got::GiveUp;
        }
        if (!nested_store_test_runs_no_code(tp)) {
            return Got::GiveUp;
        }
        const int nested = is_nested_store(value);
        if (nested == 0) {
            return is_sequence(value) ? Got::GiveUp : Got::AsIs;  // a subclass iterates its way
        }
        if (nested < 0 || !dict_is_plain(tp) || !room(depth + 1)) {
            return Got::GiveUp;
        }
        Ref d = instance_dict(value);
        out = d ? dict(d.get(), depth + 1) : Ref();
        return out ? Got::Converted : Got::GiveUp;
    }
    Ref dict(PyObject* d, int depth) noexcept
    {
        if (!PyDict_CheckExact(d) || !only_str_keys(d)) {
            return Ref();
        }
        Ref result = Ref::steal(PyDict_New());
        if (!result) {
            return Ref();
        }
        DictWalk walk(d);
        PyObject* key;
        PyObject* value;
        int settings_left = 4;  // keys are unique: none is tested after them
        while (walk.next(&key, &value)) {
            Ref converted;
            const Got got = plain_leaf(value) ? Got::AsIs : convert(value, depth, converted);
            if (got == Got::GiveUp) {
                return Ref();
            }
            // A nested store or a sequence is exported whatever its name.
            if (got == Got::AsIs && settings_left > 0 && is_setting_name(key)) {
                --settings_left;
                continue;
            }
            if (PyDict_SetItem(result.get(), key, got == Got::AsIs ? value : converted.get()) < 0) {
                return Ref();
            }
        }
        return result;
    }
    Ref list(PyObject* seq, int depth) noexcept
    {
        Ref result = Ref::steal(PyList_New(0));
        if (!result) {
            return Ref();
        }
        auto add = [&](PyObject* element) {
            Ref converted;
            const Got got = plain_leaf(element) ? Got::AsIs : convert(element, depth, converted);
            return got != Got::GiveUp &&
                   PyList_Append(result.get(), got == Got::AsIs ? element : converted.get()) == 0;
        };
        if (PySet_CheckExact(seq)) {  // its iterator runs no code either
            Ref it = Ref::steal(PyObject_GetIter(seq));
            if (!it) {
                return Ref();
            }
            while (Ref element = Ref::steal(PyIter_Next(it.get()))) {
                if (!add(element.get())) {
                    return Ref();
                }
            }
            return PyErr_Occurred() ? Ref() : std::move(result);
        }
        const bool is_list = PyList_CheckExact(seq);
        const Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!add(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i))) {
                return Ref();
            }
        }
        return result;
    }

    static constexpr int kMaxDepth = 64;
    static constexpr std::uintptr_t kStackMargin = std::uintptr_t{256} * 1024;
    PyThreadState* ts_;
    bool usable_ = false;
};

// _to_dict's statements, entry by entry, up to the sort.  An empty Ref when
// it failed (the call's line recorded).
Ref
literal_export(Call& call, PyObject* self, PyObject* kwargs)
{
    Ref result = Ref::steal(PyDict_New());
    if (!result) {
        call.fail(kNewResult);
        return Ref();
    }
    DictItems items(kwargs);
    SkipRule rule(self);
    // Adding an entry compares its key with those of equal hash in the
    // result: code, once a key that is not an exact str is in there.
    bool plain_result = true;
    auto add = [&](PyObject* name, PyObject* value) {
        plain_result = plain_result && PyUnicode_CheckExact(name);
        const int rc = PyDict_SetItem(result.get(), name, value);
        if (!plain_result) {
            rule.invalidate();
        }
        return rc;
    };
    for (auto& [name, value] : items) {
        // The common leaf first: a str, number, bool or None is neither a
        // store nor a sequence, and testing so runs no code.
        if (plain_leaf(value.get())) {
            int skipped = rule.test(name.get());
            if (skipped < 0) {
                return Ref::steal(call.fail(kTestSkip));
            }
            if (!skipped && add(name.get(), value.get()) < 0) {
                return Ref::steal(call.fail(kAddValue));
            }
            continue;
        }
        int nested = is_nested_store(value.get());
        if (nested < 0) {
            return Ref::steal(call.fail(kTestStore));
        }
        if (nested || is_sequence(value.get()) ||
            !nested_store_test_runs_no_code(Py_TYPE(value.get()))) {
            rule.invalidate();  // a metaclass, a name or a conversion ran code
        }
        if (nested) {
            Ref test = export_nested(self, value.get());
            if (!test) {
                return Ref::steal(call.fail(kExportStore));
            }
            if (add(name.get(), test.get()) < 0) {
                return Ref::steal(call.fail(kAddStore));
            }
            continue;
        }
        if (is_sequence(value.get())) {
            Ref test = export_level(self, value.get(), true);
            if (!test) {
                return Ref::steal(call.fail(kExportList));
            }
            if (add(name.get(), test.get()) < 0) {
                return Ref::steal(call.fail(kAddList));
            }
            continue;
        }
        int skipped = rule.test(name.get());
        if (skipped < 0) {
            return Ref::steal(call.fail(kTestSkip));
        }
        if (skipped) {
            continue;
        }
        if (add(name.get(), value.get()) < 0) {
            return Ref::steal(call.fail(kAddValue));
        }
    }
    if (!items.ok()) {
        return Ref::steal(call.fail(kEachName));
    }
    return result;
}

}  // namespace

PyObject*
to_dict(Call& call, Any self, Dict kwargs, Any sort) noexcept
{
    Ref result = QuickExport(self, call.thread()).run(kwargs.p);
    if (!result) {
        result = literal_export(call, self, kwargs.p);
        if (!result) {
            return nullptr;
        }
    }
    int sorting = truth(sort);
    if (sorting < 0) {
        return call.fail(kTestSort);
    }
    if (sorting) {
        result = sorted_copy(result.get());
        if (!result) {
            return call.fail(kSortResult);
        }
    }
    return result.release();
}

PyObject*
list_to_dict(Call& call, Any self, Any array) noexcept
{
    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return call.fail(kNewArray);
    }
    Iteration elements(array);
    for (Ref& element : elements) {
        if (plain_leaf(element.get())) {
            if (PyList_Append(result.get(), element.get()) < 0) {
                return call.fail(kAppendElement);
            }
            continue;
        }
        int nested = is_nested_store(element.get());
        if (nested < 0) {
            return call.fail(kElementStore);
        }
        Ref converted;
        Statement line;
        if (nested) {
            converted = export_nested(self, element.get());
            line = kAppendStore;
        }
        else if (is_sequence(element.get())) {
            converted = export_level(self, element.get(), true);
            line = kAppendList;
        }
        else {
            converted = std::move(element);
            line = kAppendElement;
        }
        if (!converted || PyList_Append(result.get(), converted.get()) < 0) {
            return call.fail(line);
        }
    }
    if (!elements.ok()) {
        return call.fail(kEachElement);
    }
    return result.release();
}

PyObject*
mv_to_dict(Call& call, Any self, Any sort) noexcept
{
    Ref d = instance_dict(self);
    if (!d) {
        return call.fail(kCallToDict);
    }
    Ref result = call_method(self, names().to_dict, {d.get(), sort});
    if (!result || !result_ok(result.get(), &PyDict_Type)) {
        return call.fail(kCallToDict);
    }
    return result.release();
}

PyObject*
mv_to_params(Call& call, Any self) noexcept
{
    return render(call, self, Form::Params, "&", 1, kParamsWalk, kParamsJoin);
}

PyObject*
mv_to_string(Call& call, Any self) noexcept
{
    return render(call, self, Form::Listing, ", ", 2, kStringWalk, kStringJoin);
}

PyObject*
repr_hook(Call& call, Any self) noexcept
{
    // The sorted copy.  With only exact str keys it is the sorted entries,
    // taken together before anything is written, so no dict is built.
    Ref d = instance_dict(self);
    if (!d || !require_dict(d.get())) {
        return call.fail(kSortedCopy);
    }
    Ref print_dict;
    SortedPairs pairs;
    if (PyDict_CheckExact(d.get()) && only_str_keys(d.get())) {
        if (!pairs.take(d.get())) {
            return call.fail(kSortedCopy);
        }
    }
    else if (!(print_dict = sorted_copy(d.get()))) {
        return call.fail(kSortedCopy);
    }
    d.reset();
    TextWriter out;
    bool written = out.ascii("TesselVar(", 10);
    if (written && !print_dict) {
        SkipRule rule(self);
        const int own = pairs.plain() ? rule.own() : 0;
        if (own < 0) {
            return call.fail(kEachPrint);
        }
        bool first = true;
        for (Py_ssize_t i = 0; written && i < pairs.size(); ++i) {
            PyObject* key = pairs.key(i);
            if (!own) {
                written =
                    write_kept(out, rule, key, pairs.value(i), Form::Params, ", ", 2, first) == 0;
            }
            else if (!is_setting_name(key)) {
                written = (first || out.ascii(", ", 2)) &&
                          write_plain(out, key, pairs.value(i), Form::Params);
                first = false;
            }
        }
    }
    else if (written) {
        written = write_entries(out, self, print_dict.get(), Form::Params, ", ", 2);
    }
    if (!written) {
        return call.fail(kEachPrint);
    }
    if (!out.ascii(")", 1)) {
        return call.fail(kJoinPrint);
    }
    PyObject* text = out.finish();
    return text != nullptr ? text : call.fail(kJoinPrint);
}

}  // namespace vm

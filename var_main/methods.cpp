// var_main/methods.cpp: the method table, the single source of truth for
// what Python sees of each method: name, line of its `def`, kind, parameters
// (annotation, type check, default), return annotation, docstring, and the
// C++ body that runs it.  Rows are in the order of definition.
#include "methods.hpp"

#include "store/lines.hpp"

namespace vm {

namespace {

// Each body takes (Call&, self?, parameters...) by value; the adapter checks
// at compile time that a body has one C++ parameter per row parameter.
static_assert(Adapt<&set_class>::arity == 4, "_set_class: body and parameters disagree");
static_assert(Adapt<&mv_add>::arity == 2, "_mv_add: body and parameters disagree");
static_assert(Adapt<&mv_pop>::arity == 2, "_mv_pop: body and parameters disagree");
static_assert(Adapt<&mv_pops>::arity == 2, "_mv_pops: body and parameters disagree");
static_assert(Adapt<&mv_clear>::arity == 1, "_mv_clear: body and parameters disagree");
static_assert(Adapt<&mv_get>::arity == 3, "_mv_get: body and parameters disagree");
static_assert(Adapt<&mv_keys>::arity == 1, "_mv_keys: body and parameters disagree");
static_assert(Adapt<&mv_values>::arity == 1, "_mv_values: body and parameters disagree");
static_assert(Adapt<&mv_items>::arity == 1, "_mv_items: body and parameters disagree");
static_assert(Adapt<&mv_to_dict>::arity == 2, "_mv_to_dict: body and parameters disagree");
static_assert(Adapt<&mv_to_params>::arity == 1, "_mv_to_params: body and parameters disagree");
static_assert(Adapt<&mv_to_string>::arity == 1, "_mv_to_string: body and parameters disagree");
static_assert(Adapt<&to_dict>::arity == 3, "_to_dict: body and parameters disagree");
static_assert(Adapt<&list_to_dict>::arity == 2, "_list_to_dict: body and parameters disagree");
static_assert(Adapt<&set_dict>::arity == 4, "_set_dict: body and parameters disagree");
static_assert(Adapt<&set_list>::arity == 3, "_set_list: body and parameters disagree");
static_assert(Adapt<&skip>::arity == 0, "_skip: body and parameters disagree");
static_assert(Adapt<&mv_set>::arity == 4, "_mv_set: body and parameters disagree");
static_assert(Adapt<&mv_set_kwargs>::arity == 2, "_mv_set_kwargs: body and parameters disagree");
static_assert(Adapt<&set_attr>::arity == 3, "_set_attr: body and parameters disagree");
static_assert(Adapt<&getattr_hook>::arity == 2, "__getattr__: body and parameters disagree");
static_assert(Adapt<&setattr_hook>::arity == 3, "__setattr__: body and parameters disagree");
static_assert(Adapt<&repr_hook>::arity == 1, "__repr__: body and parameters disagree");

const MethodSpec kMethods[] = {
    {"_set_class",
     line_of(Def::set_class),
     Kind::Method,
     4,
     {{"self", nullptr}, {"instance", "Any"}, {"reprint", "bool"}, {"inherit", "bool"}},
     "None",
     "TesselVarMain._set_class(self, instance: Any, reprint: bool, inherit: bool) -> None\n"
     "初始化类实例，设置内部变量。\n"
     "\n"
     ":param instance: 实例对象，用于创建新的变量。\n"
     ":param reprint: 布尔值，控制是否重新打印属性。\n"
     ":param inherit: 布尔值，控制是否继承属性。",
     &Adapt<&set_class>::run},
    {"_mv_add",
     line_of(Def::mv_add),
     Kind::Method,
     2,
     {{"self", nullptr}, {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type}},
     "None",
     "TesselVarMain._mv_add(self, dict kwargs: Dict[str, Any]) -> None\n"
     "添加变量到实例中，支持字典、列表、集合、元组等类型。\n"
     "\n"
     ":param kwargs: 字典类型，包含要添加的变量及其值。",
     &Adapt<&mv_add>::run},
    {"_mv_pop",
     line_of(Def::mv_pop),
     Kind::Method,
     2,
     {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}},
     "None",
     "TesselVarMain._mv_pop(self, str name: str) -> None\n"
     "删除指定名称的变量。\n"
     "\n"
     ":param name: 字符串类型，表示要删除的变量名称。",
     &Adapt<&mv_pop>::run},
    {"_mv_pops",
     line_of(Def::mv_pops),
     Kind::Method,
     2,
     {{"self", nullptr}, {"args", "Tuple[str, ...]", Check::Exact, &PyTuple_Type}},
     "None",
     "TesselVarMain._mv_pops(self, tuple args: Tuple[str, ...]) -> None\n"
     "批量删除指定名称的变量。\n"
     "\n"
     ":param args: 列表类型，包含要删除的变量名称。",
     &Adapt<&mv_pops>::run},
    {"_mv_clear",
     line_of(Def::mv_clear),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "None",
     "TesselVarMain._mv_clear(self) -> None\n"
     "清除所有变量，保留内部变量。",
     &Adapt<&mv_clear>::run},
    {"_mv_get",
     line_of(Def::mv_get),
     Kind::Method,
     3,
     {{"self", nullptr}, {"key", "Any"}, {"default", "Any", Check::None, nullptr, Default::None}},
     "Optional[Any]",
     "TesselVarMain._mv_get(self, key: Any, default: Any = None) -> Optional[Any]\n"
     "获取指定路径的变量值。\n"
     "\n"
     ":param key: 要获取的变量名称。\n"
     ":param default: 获取变量出错时，默认返回的值。\n"
     ":return: 返回指定路径的变量值，若不存在则返回 None 或默认值。",
     &Adapt<&mv_get>::run},
    {"_mv_keys",
     line_of(Def::mv_keys),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "List[str]",
     "TesselVarMain._mv_keys(self) -> List[str]\n"
     "获取所有变量的名称，排除内部变量。\n"
     "\n"
     ":return: 列表类型，包含所有变量的名称。",
     &Adapt<&mv_keys>::run},
    {"_mv_values",
     line_of(Def::mv_values),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "List[Any]",
     "TesselVarMain._mv_values(self) -> List[Any]\n"
     "获取所有变量的值，排除内部变量。\n"
     "\n"
     ":return: 列表类型，包含所有变量的值。",
     &Adapt<&mv_values>::run},
    {"_mv_items",
     line_of(Def::mv_items),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "List[Tuple[str, Any]]",
     "TesselVarMain._mv_items(self) -> List[Tuple[str, Any]]\n"
     "获取所有变量的名称和值，排除内部变量。\n"
     "\n"
     ":return: 列表类型，包含所有变量的名称和值。",
     &Adapt<&mv_items>::run},
    {"_mv_to_dict",
     line_of(Def::mv_to_dict),
     Kind::Method,
     2,
     {{"self", nullptr}, {"sort", "bool", Check::None, nullptr, Default::False}},
     "Dict[str, Any]",
     "TesselVarMain._mv_to_dict(self, sort: bool = False) -> Dict[str, Any]\n"
     "将变量转换为字典，支持排序。\n"
     "\n"
     ":param sort: 布尔值，控制是否对字典进行排序。\n"
     ":return: 字典类型，包含所有变量的名称和值。",
     &Adapt<&mv_to_dict>::run},
    {"_mv_to_params",
     line_of(Def::mv_to_params),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "str",
     "TesselVarMain._mv_to_params(self) -> str\n"
     "将变量转换为参数字符串。\n"
     "\n"
     ":return: 字符串类型，表示所有变量的名称和值。",
     &Adapt<&mv_to_params>::run},
    {"_mv_to_string",
     line_of(Def::mv_to_string),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "str",
     "TesselVarMain._mv_to_string(self) -> str\n"
     "将变量转换为字符串。\n"
     "\n"
     ":return: 字符串类型，表示所有变量的名称和值。",
     &Adapt<&mv_to_string>::run},
    {"_to_dict",
     line_of(Def::to_dict),
     Kind::Method,
     3,
     {{"self", nullptr},
      {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type},
      {"sort", "bool", Check::None, nullptr, Default::False}},
     "Dict[str, Any]",
     "TesselVarMain._to_dict(self, dict kwargs: Dict[str, Any], sort: bool = False) -> Dict[str, "
     "Any]\n"
     "将变量集合转换为字典，支持递归转换。\n"
     "\n"
     ":param kwargs: 字典类型，包含要转换的变量集合。\n"
     ":param sort: 布尔值，控制是否对字典进行排序。\n"
     ":return: 字典类型，包含转换后的变量集合。",
     &Adapt<&to_dict>::run},
    {"_list_to_dict",
     line_of(Def::list_to_dict),
     Kind::Method,
     2,
     {{"self", nullptr}, {"array", "Union[List[Any], Set[Any], Tuple[Any, ...]]"}},
     "List[Any]",
     "TesselVarMain._list_to_dict(self, array: Union[List[Any], Set[Any], Tuple[Any, ...]]) -> "
     "List[Any]\n"
     "将列表转换为字典，支持递归转换。\n"
     "\n"
     ":param array: 列表类型，包含要转换的元素。\n"
     ":return: 列表类型，包含转换后的元素。",
     &Adapt<&list_to_dict>::run},
    {"_set_dict",
     line_of(Def::set_dict),
     Kind::Method,
     4,
     {{"self", nullptr},
      {"key", "str", Check::Exact, &PyUnicode_Type},
      {"value", "Dict[str, Any]", Check::Exact, &PyDict_Type},
      {"new", "bool", Check::None, nullptr, Default::False}},
     "None",
     "TesselVarMain._set_dict(self, str key: str, dict value: Dict[str, Any], new: bool = False) "
     "-> None\n"
     "设置字典类型的变量，支持合并或新建。\n"
     "\n"
     ":param key: 字符串类型，表示变量的名称。\n"
     ":param value: 字典类型，表示变量的值。\n"
     ":param new: 布尔值，控制是否新建变量。",
     &Adapt<&set_dict>::run},
    {"_set_list",
     line_of(Def::set_list),
     Kind::Method,
     3,
     {{"self", nullptr},
      {"value", "Union[List[Any], Set[Any], Tuple[Any, ...]]"},
      {"key", "Optional[str]", Check::ExactOrNone, &PyUnicode_Type, Default::None}},
     "List[Any]",
     "TesselVarMain._set_list(self, value: Union[List[Any], Set[Any], Tuple[Any, ...]], str key: "
     "Optional[str] = None) -> List[Any]\n"
     "设置列表类型的变量，支持递归设置。\n"
     "\n"
     ":param value: 列表类型，表示变量的值。\n"
     ":param key: 字符串类型，表示变量的名称。\n"
     ":return: 列表类型，包含设置后的变量值。",
     &Adapt<&set_list>::run},
    {"_skip",
     line_of(Def::skip),
     Kind::Static,
     0,
     {},
     "List[str]",
     "TesselVarMain._skip() -> List[str]\n"
     "获取需要跳过的内部变量名称。\n"
     "\n"
     ":return: 列表类型，包含需要跳过的内部变量名称。",
     &Adapt<&skip>::run},
    {"_mv_set",
     line_of(Def::mv_set),
     Kind::Method,
     4,
     {{"self", nullptr},
      {"name", "str", Check::Exact, &PyUnicode_Type},
      {"value", "Any"},
      {"inherit", "bool", Check::None, nullptr, Default::False}},
     "None",
     "TesselVarMain._mv_set(self, str name: str, value: Any, inherit: bool = False) -> None\n"
     "设置变量，支持继承属性。\n"
     "\n"
     ":param name: 字符串类型，表示变量的名称。\n"
     ":param value: 任意类型，表示变量的值。\n"
     ":param inherit: 布尔值，控制是否继承属性。",
     &Adapt<&mv_set>::run},
    {"_mv_set_kwargs",
     line_of(Def::mv_set_kwargs),
     Kind::Method,
     2,
     {{"self", nullptr}, {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type}},
     "None",
     "TesselVarMain._mv_set_kwargs(self, dict kwargs: Dict[str, Any]) -> None\n"
     "批量设置变量。\n"
     "\n"
     ":param kwargs: 字典类型，包含要设置的变量及其值。",
     &Adapt<&mv_set_kwargs>::run},
    {"_set_attr",
     line_of(Def::set_attr),
     Kind::Method,
     3,
     {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}, {"value", "Any"}},
     "None",
     "TesselVarMain._set_attr(self, str name: str, value: Any) -> None\n"
     "设置属性，支持字典、列表、集合、元组等类型。\n"
     "\n"
     ":param name: 字符串类型，表示属性的名称。\n"
     ":param value: 任意类型，表示属性的值。",
     &Adapt<&set_attr>::run},
    {"__getattr__",
     line_of(Def::getattr_hook),
     Kind::Method,
     2,
     {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}},
     "Union[str, None]",
     "TesselVarMain.__getattr__(self, str name: str) -> Union[str, None]\n"
     "获取属性，若属性不存在则返回名称或 None。\n"
     "\n"
     ":param name: 字符串类型，表示属性的名称。\n"
     ":return: 字符串类型或 None，表示属性的值。",
     &Adapt<&getattr_hook>::run},
    {"__setattr__",
     line_of(Def::setattr_hook),
     Kind::Method,
     3,
     {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}, {"value", "Any"}},
     "None",
     "TesselVarMain.__setattr__(self, str name: str, value: Any) -> None\n"
     "设置属性，支持继承属性。\n"
     "\n"
     ":param name: 字符串类型，表示属性的名称。\n"
     ":param value: 任意类型，表示属性的值。",
     &Adapt<&setattr_hook>::run},
    {"__repr__",
     line_of(Def::repr_hook),
     Kind::Method,
     1,
     {{"self", nullptr}},
     "str",
     "TesselVarMain.__repr__(self) -> str\n"
     "返回实例的字符串表示。\n"
     "\n"
     ":return: 字符串类型，表示实例的字符串表示。",
     &Adapt<&repr_hook>::run},
};

}  // namespace

std::span<const MethodSpec>
method_table() noexcept
{
    return kMethods;
}

}  // namespace vm

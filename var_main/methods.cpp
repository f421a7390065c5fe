// var_main/methods.cpp: the method table, the single source of truth for
// what Python sees of each method: name, line of its `def`, kind, parameters
// (annotation, type check, default), return annotation, docstring, and the
// C++ body that runs it.  Rows are in the order of definition.
#include "methods.hpp"

#include "store/lines.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>

namespace vm {

namespace {

// One row: the name and line come from the method's Def, and a body must
// take (Call&, self?, parameters...) by value, one C++ parameter per row
// parameter (checked at compile time).
template <auto Body>
consteval MethodSpec
row(Def def, Kind kind, std::initializer_list<Param> params, const char* returns, const char* doc)
{
    if (params.size() != Adapt<Body>::arity || params.size() > kMaxParams) {
        throw "body and parameters disagree";
    }
    const auto n = static_cast<std::uint8_t>(params.size());
    MethodSpec spec{def_name(def), line_of(def), kind, n, {}, returns, doc, &Adapt<Body>::run};
    std::copy(params.begin(), params.end(), spec.params);
    return spec;
}

const MethodSpec kMethods[] = {
    row<&set_class>(
        Def::set_class, Kind::Method,
        {{"self", nullptr}, {"instance", "Any"}, {"reprint", "bool"}, {"inherit", "bool"}}, "None",
        "TesselVarMain._set_class(self, instance: Any, reprint: bool, inherit: bool) -> None\n"
        "初始化类实例，设置内部变量。\n"
        "\n"
        ":param instance: 实例对象，用于创建新的变量。\n"
        ":param reprint: 布尔值，控制是否重新打印属性。\n"
        ":param inherit: 布尔值，控制是否继承属性。"),
    row<&mv_add>(Def::mv_add, Kind::Method,
                 {{"self", nullptr}, {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type}},
                 "None",
                 "TesselVarMain._mv_add(self, dict kwargs: Dict[str, Any]) -> None\n"
                 "添加变量到实例中，支持字典、列表、集合、元组等类型。\n"
                 "\n"
                 ":param kwargs: 字典类型，包含要添加的变量及其值。"),
    row<&mv_pop>(Def::mv_pop, Kind::Method,
                 {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}}, "None",
                 "TesselVarMain._mv_pop(self, str name: str) -> None\n"
                 "删除指定名称的变量。\n"
                 "\n"
                 ":param name: 字符串类型，表示要删除的变量名称。"),
    row<&mv_pops>(Def::mv_pops, Kind::Method,
                  {{"self", nullptr}, {"args", "Tuple[str, ...]", Check::Exact, &PyTuple_Type}},
                  "None",
                  "TesselVarMain._mv_pops(self, tuple args: Tuple[str, ...]) -> None\n"
                  "批量删除指定名称的变量。\n"
                  "\n"
                  ":param args: 列表类型，包含要删除的变量名称。"),
    row<&mv_clear>(Def::mv_clear, Kind::Method, {{"self", nullptr}}, "None",
                   "TesselVarMain._mv_clear(self) -> None\n"
                   "清除所有变量，保留内部变量。"),
    row<&mv_get>(Def::mv_get, Kind::Method,
                 {{"self", nullptr},
                  {"key", "Any"},
                  {"default", "Any", Check::None, nullptr, Default::None}},
                 "Optional[Any]",
                 "TesselVarMain._mv_get(self, key: Any, default: Any = None) -> Optional[Any]\n"
                 "获取指定路径的变量值。\n"
                 "\n"
                 ":param key: 要获取的变量名称。\n"
                 ":param default: 获取变量出错时，默认返回的值。\n"
                 ":return: 返回指定路径的变量值，若不存在则返回 None 或默认值。"),
    row<&mv_keys>(Def::mv_keys, Kind::Method, {{"self", nullptr}}, "List[str]",
                  "TesselVarMain._mv_keys(self) -> List[str]\n"
                  "获取所有变量的名称，排除内部变量。\n"
                  "\n"
                  ":return: 列表类型，包含所有变量的名称。"),
    row<&mv_values>(Def::mv_values, Kind::Method, {{"self", nullptr}}, "List[Any]",
                    "TesselVarMain._mv_values(self) -> List[Any]\n"
                    "获取所有变量的值，排除内部变量。\n"
                    "\n"
                    ":return: 列表类型，包含所有变量的值。"),
    row<&mv_items>(Def::mv_items, Kind::Method, {{"self", nullptr}}, "List[Tuple[str, Any]]",
                   "TesselVarMain._mv_items(self) -> List[Tuple[str, Any]]\n"
                   "获取所有变量的名称和值，排除内部变量。\n"
                   "\n"
                   ":return: 列表类型，包含所有变量的名称和值。"),
    row<&mv_to_dict>(Def::mv_to_dict, Kind::Method,
                     {{"self", nullptr}, {"sort", "bool", Check::None, nullptr, Default::False}},
                     "Dict[str, Any]",
                     "TesselVarMain._mv_to_dict(self, sort: bool = False) -> Dict[str, Any]\n"
                     "将变量转换为字典，支持排序。\n"
                     "\n"
                     ":param sort: 布尔值，控制是否对字典进行排序。\n"
                     ":return: 字典类型，包含所有变量的名称和值。"),
    row<&mv_to_params>(Def::mv_to_params, Kind::Method, {{"self", nullptr}}, "str",
                       "TesselVarMain._mv_to_params(self) -> str\n"
                       "将变量转换为参数字符串。\n"
                       "\n"
                       ":return: 字符串类型，表示所有变量的名称和值。"),
    row<&mv_to_string>(Def::mv_to_string, Kind::Method, {{"self", nullptr}}, "str",
                       "TesselVarMain._mv_to_string(self) -> str\n"
                       "将变量转换为字符串。\n"
                       "\n"
                       ":return: 字符串类型，表示所有变量的名称和值。"),
    row<&to_dict>(Def::to_dict, Kind::Method,
                  {{"self", nullptr},
                   {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type},
                   {"sort", "bool", Check::None, nullptr, Default::False}},
                  "Dict[str, Any]",
                  "TesselVarMain._to_dict(self, dict kwargs: Dict[str, Any], sort: bool = False) "
                  "-> Dict[str, "
                  "Any]\n"
                  "将变量集合转换为字典，支持递归转换。\n"
                  "\n"
                  ":param kwargs: 字典类型，包含要转换的变量集合。\n"
                  ":param sort: 布尔值，控制是否对字典进行排序。\n"
                  ":return: 字典类型，包含转换后的变量集合。"),
    row<&list_to_dict>(
        Def::list_to_dict, Kind::Method,
        {{"self", nullptr}, {"array", "Union[List[Any], Set[Any], Tuple[Any, ...]]"}}, "List[Any]",
        "TesselVarMain._list_to_dict(self, array: Union[List[Any], Set[Any], Tuple[Any, ...]]) -> "
        "List[Any]\n"
        "将列表转换为字典，支持递归转换。\n"
        "\n"
        ":param array: 列表类型，包含要转换的元素。\n"
        ":return: 列表类型，包含转换后的元素。"),
    row<&set_dict>(Def::set_dict, Kind::Method,
                   {{"self", nullptr},
                    {"key", "str", Check::Exact, &PyUnicode_Type},
                    {"value", "Dict[str, Any]", Check::Exact, &PyDict_Type},
                    {"new", "bool", Check::None, nullptr, Default::False}},
                   "None",
                   "TesselVarMain._set_dict(self, str key: str, dict value: Dict[str, Any], new: "
                   "bool = False) "
                   "-> None\n"
                   "设置字典类型的变量，支持合并或新建。\n"
                   "\n"
                   ":param key: 字符串类型，表示变量的名称。\n"
                   ":param value: 字典类型，表示变量的值。\n"
                   ":param new: 布尔值，控制是否新建变量。"),
    row<&set_list>(Def::set_list, Kind::Method,
                   {{"self", nullptr},
                    {"value", "Union[List[Any], Set[Any], Tuple[Any, ...]]"},
                    {"key", "Optional[str]", Check::ExactOrNone, &PyUnicode_Type, Default::None}},
                   "List[Any]",
                   "TesselVarMain._set_list(self, value: Union[List[Any], Set[Any], Tuple[Any, "
                   "...]], str key: "
                   "Optional[str] = None) -> List[Any]\n"
                   "设置列表类型的变量，支持递归设置。\n"
                   "\n"
                   ":param value: 列表类型，表示变量的值。\n"
                   ":param key: 字符串类型，表示变量的名称。\n"
                   ":return: 列表类型，包含设置后的变量值。"),
    row<&skip>(Def::skip, Kind::Static, {}, "List[str]",
               "TesselVarMain._skip() -> List[str]\n"
               "获取需要跳过的内部变量名称。\n"
               "\n"
               ":return: 列表类型，包含需要跳过的内部变量名称。"),
    row<&mv_set>(
        Def::mv_set, Kind::Method,
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
        ":param inherit: 布尔值，控制是否继承属性。"),
    row<&mv_set_kwargs>(
        Def::mv_set_kwargs, Kind::Method,
        {{"self", nullptr}, {"kwargs", "Dict[str, Any]", Check::Exact, &PyDict_Type}}, "None",
        "TesselVarMain._mv_set_kwargs(self, dict kwargs: Dict[str, Any]) -> None\n"
        "批量设置变量。\n"
        "\n"
        ":param kwargs: 字典类型，包含要设置的变量及其值。"),
    row<&set_attr>(
        Def::set_attr, Kind::Method,
        {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}, {"value", "Any"}},
        "None",
        "TesselVarMain._set_attr(self, str name: str, value: Any) -> None\n"
        "设置属性，支持字典、列表、集合、元组等类型。\n"
        "\n"
        ":param name: 字符串类型，表示属性的名称。\n"
        ":param value: 任意类型，表示属性的值。"),
    row<&getattr_hook>(Def::getattr_hook, Kind::Method,
                       {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}},
                       "Union[str, None]",
                       "TesselVarMain.__getattr__(self, str name: str) -> Union[str, None]\n"
                       "获取属性，若属性不存在则返回名称或 None。\n"
                       "\n"
                       ":param name: 字符串类型，表示属性的名称。\n"
                       ":return: 字符串类型或 None，表示属性的值。"),
    row<&setattr_hook>(
        Def::setattr_hook, Kind::Method,
        {{"self", nullptr}, {"name", "str", Check::Exact, &PyUnicode_Type}, {"value", "Any"}},
        "None",
        "TesselVarMain.__setattr__(self, str name: str, value: Any) -> None\n"
        "设置属性，支持继承属性。\n"
        "\n"
        ":param name: 字符串类型，表示属性的名称。\n"
        ":param value: 任意类型，表示属性的值。"),
    row<&repr_hook>(Def::repr_hook, Kind::Method, {{"self", nullptr}}, "str",
                    "TesselVarMain.__repr__(self) -> str\n"
                    "返回实例的字符串表示。\n"
                    "\n"
                    ":return: 字符串类型，表示实例的字符串表示。"),
};

}  // namespace

std::span<const MethodSpec>
method_table() noexcept
{
    return kMethods;
}

}  // namespace vm

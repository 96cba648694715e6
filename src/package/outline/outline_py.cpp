#include "package/outline/outline_py.hpp"

#include "boundary/trampoline.hpp"
#include "boundary/refusal.hpp"
#include "package/constraint/convert_py.hpp"
#include "package/outline/outline.hpp"
#include "package/option/option_value_py.hpp"

namespace kelto::package::outline {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

constexpr process::Callsite kUnexpectedKeyword{process::Level::Error, "kelto::package::outline"};

/// Whether the entry at `position` - 1, the one just converted, still has
/// the text of `key` (a str): a conversion that ran Python code and swapped
/// keys without changing the dict's size either left a hole there or, when
/// the insertion rebuilt the table, moved every later entry down. A dict
/// filled again with the same texts has not changed its keys.
bool still_at(PyObject* dict, Py_ssize_t position, PyObject* key) {
    Py_ssize_t probe = position - 1;
    PyObject* found = nullptr;
    if (!PyDict_Next(dict, &probe, &found, nullptr)) return false;
    // Compares the texts, never calling a subclass's __eq__.
    return found == key || (PyUnicode_Check(found) && PyUnicode_Compare(found, key) == 0);
}

/// An option map from a dict (or subclass), in the dict's own order. With
/// `kNoneIsAbsent`, a None value is stored as an entry without a value.
///
/// The dict may change while a value converts (its hooks run Python code):
/// a change of size, an entry beyond the count it started with, or the
/// converted key gone from its place ends the conversion with the panic
/// exception, as iterating a dict that changes does. The plain entries that
/// run no Python code are counted like the others: a key that a hook added
/// is no less new for holding a plain value.
template <class Map, bool kNoneIsAbsent>
Result<Map> option_map_from_py(Borrowed obj) {
    if (!PyDict_Check(obj.get())) return boundary::raise_type_mismatch(obj, &PyDict_Type);
    const Py_ssize_t size = PyDict_GET_SIZE(obj.get());
    Map map;
    map.reserve(static_cast<std::size_t>(size));
    Py_ssize_t position = 0;
    Py_ssize_t seen = 0;
    PyObject* borrowed_key = nullptr;
    PyObject* borrowed_value = nullptr;
    while (PyDict_Next(obj.get(), &position, &borrowed_key, &borrowed_value)) {
        if (++seen > size) boundary::panic("dictionary keys changed during iteration");
        // Most entries are an exact str naming a plain value: nothing runs
        // Python code while they convert, so the dict's own references hold.
        if (PyUnicode_CheckExact(borrowed_key) && (!kNoneIsAbsent || borrowed_value != Py_None)) {
            Py_ssize_t name_size = 0;
            const char* name = PyUnicode_AsUTF8AndSize(borrowed_key, &name_size);
            if (name != nullptr) [[likely]] {
                if (auto value = option::plain_spec_option_value(borrowed_value)) {
                    map.append(Text(std::string_view(name, static_cast<std::size_t>(name_size))), *std::move(value));
                    continue;
                }
            } else {
                PyErr_Clear();  // a lone surrogate in the name: the steps below report it
            }
        }
        // Converting a value may run Python code that changes the dict and
        // drops its entries: hold our own references while we work.
        Owned key = Owned::borrow(borrowed_key);
        Owned value = Owned::borrow(borrowed_value);
        auto name = boundary::Converter<std::string_view>::convert(key.get());
        if (!name) return boundary::kFailed;
        if (kNoneIsAbsent && value.get() == Py_None) {
            map.append(Text(*name), {});
        } else {
            auto converted = option::spec_option_value_from_py(value);
            if (!converted) return boundary::kFailed;
            map.append(Text(*name), *std::move(converted));
        }
        if (PyDict_GET_SIZE(obj.get()) != size) boundary::panic("dictionary changed size during iteration");
        if (!still_at(obj.get(), position, key.get())) boundary::panic("dictionary keys changed during iteration");
    }
    return map;
}

}  // namespace
}  // namespace kelto::package::outline

template <>
struct kelto::boundary::Converter<kelto::package::outline::OptionValues> {
    static Result<package::outline::OptionValues> convert(PyObject* obj) {
        return package::outline::option_map_from_py<package::outline::OptionValues, false>(obj);
    }
};

template <>
struct kelto::boundary::Converter<kelto::package::outline::OptionDefaults> {
    static Result<package::outline::OptionDefaults> convert(PyObject* obj) {
        return package::outline::option_map_from_py<package::outline::OptionDefaults, true>(obj);
    }
};

namespace kelto::package::outline {
namespace {

[[gnu::cold]] boundary::ErrorSet refuse_keyword(Borrowed keyword) {
    auto printable = boundary::str_to_py(boundary::escaped_utf8(keyword));  // a lone surrogate, escaped
    if (!printable) return {};
    return boundary::refuse_logged(kUnexpectedKeyword, PyExc_ValueError,
                         boundary::checked(PyUnicode_FromFormat("PyPackageOutline unexpected keyword argument '%U'",
                                                                printable->get())));
}

Result<Owned> package_outline_new(PyTypeObject* cls, std::string_view name,
                                  std::optional<std::vector<constraint::Constraint>> constraints,
                                  std::optional<OptionValues> set_options,
                                  std::optional<OptionDefaults> set_defaults,
                                  std::span<const boundary::ExtraKeyword> extra) {
    // Reported only after every named argument converted: a bad argument wins.
    if (!extra.empty()) return refuse_keyword(extra.front().name);
    return boundary::emplace_instance(cls, [&] {
        return PackageOutline{Text(name), std::move(constraints).value_or(std::vector<constraint::Constraint>{}),
                              std::move(set_options).value_or(OptionValues{}),
                              std::move(set_defaults).value_or(OptionDefaults{})};
    });
}

constexpr boundary::Param kNewParams[] = {
    {.name = "name", .annotation = "str"},
    {.name = "constraints",
     .annotation = "typing.Any | None",
     .default_value = "None",
     .stub_annotation = "Sequence[_ConstraintLike] | None"},
    {.name = "set_options",
     .annotation = "typing.Any | None",
     .default_value = "None",
     .stub_annotation = "dict[str, _OptionValue] | None",
     .stub_alternative = "dict[str, _O] | None"},
    {.name = "set_defaults",
     .annotation = "typing.Any | None",
     .default_value = "None",
     .stub_annotation = "dict[str, _OptionValue | None] | None",
     .stub_alternative = "dict[str, _D] | None"},
};
constexpr boundary::Signature kNew{.owner = "PackageOutline",
                                   .name = "__new__",
                                   .params = kNewParams,
                                   .required = 1,
                                   .extra_keywords = true};

constexpr boundary::ClassSpec kSpec = boundary::class_spec<PackageOutline, kNew, &package_outline_new>();

}  // namespace

boundary::ClassObject package_outline_class{kSpec};

}  // namespace kelto::package::outline


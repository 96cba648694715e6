#include "package/constraint/fields_py.hpp"

namespace kelto::package::constraint {

using boundary::Owned;
using boundary::Result;

Result<Owned> field_to_py(const Constraint& value) { return constraint_to_py(value); }

Result<Owned> field_to_py(const std::vector<Constraint>& value) {
    auto list = boundary::checked(PyList_New(static_cast<Py_ssize_t>(value.size())));
    if (!list) return boundary::kFailed;
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto item = constraint_to_py(value[i]);
        if (!item) return boundary::kFailed;  // the partly filled list goes with `list`
        PyList_SET_ITEM(list->get(), static_cast<Py_ssize_t>(i), item->release());  // steals the item
    }
    return list;
}

Result<Owned> field_to_py(const Text& value) { return boundary::str_to_py(value); }

Result<Owned> field_to_py(const option::SpecOptionValue& value) { return option::spec_option_value_to_py(value); }

Result<Owned> field_to_py(CmpType value) { return cmp_type_to_py(value); }

}  // namespace kelto::package::constraint

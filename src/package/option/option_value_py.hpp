// Option values to and from Python objects.
#pragma once

#include "boundary/convert.hpp"
#include "package/option/option_value.hpp"

#include <optional>

namespace kelto::package::option {

/// The cast of any Python object: an exact bool or a numpy boolean, then an
/// integer through __index__ (64-bit signed), then a float, a str, a Version.
/// Nothing else: a TypeError "cannot cast Python type '<class ...>' to
/// SpecOptionValue", after the ERROR event.
[[nodiscard]] boundary::Result<SpecOptionValue> spec_option_value_from_py(boundary::Borrowed obj);

/// The same steps without the failure message and event, for callers that
/// report a refusal in their own words: nothing when no step applies. The
/// ordinary errors of the steps are discarded; an interrupt raised by a hook
/// is the failure.
[[nodiscard]] boundary::Result<std::optional<SpecOptionValue>> try_spec_option_value_from_py(boundary::Borrowed obj);

/// The value of a bool, or of an exact str, int (within 64 bits) or float:
/// read without running any Python code and without a Python error. Nothing for
/// every other object, and for a str without a UTF-8 form.
[[nodiscard]] std::optional<SpecOptionValue> plain_spec_option_value(PyObject* obj);

/// A new Python object: bool, int, float, str or a new Version.
[[nodiscard]] boundary::Result<boundary::Owned> spec_option_value_to_py(const SpecOptionValue& value);

}  // namespace kelto::package::option

template <>
struct kelto::boundary::Converter<kelto::package::option::SpecOptionValue> {
    static Result<package::option::SpecOptionValue> convert(PyObject* obj) { return package::option::spec_option_value_from_py(obj); }
};

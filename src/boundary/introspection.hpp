// Machine-readable descriptions of the Python surface, written at build time
// into the shared object as exported records ("PYO3_INTROSPECTION_1_<n>":
// a little-endian u32 length, then compact JSON) so that tools can read the
// surface without importing the module. Built from the same class and
// function descriptions that the frame binds calls with.
#pragma once

#include "boundary/type.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelto::boundary {

/// Which product a description is for: the exported records, which keep the
/// declared annotations, or the type stubs, which use the stub-only fields of
/// the declarations and also describe what the records leave out.
enum class View { Records, Stubs };

/// The id of a described item: the FNV-1a hash of its dotted path
/// ("kelto.package.constraint.Cmp"), so a member's "parent" is its class's id
/// with no table to keep in step.
[[nodiscard]] std::uint64_t introspection_id(std::string_view path) noexcept;

/// The module record.
[[nodiscard]] std::string module_record(std::string_view name);

/// A module-level function.
[[nodiscard]] std::string function_record(const Signature& signature, std::string_view module,
                                          View view = View::Records);

/// The class record followed by one record per member: __new__, methods,
/// property getters and setters, the text and number slots, comparisons.
[[nodiscard]] std::vector<std::string> class_records(const ClassSpec& spec, std::string_view module,
                                                     View view = View::Records);

}  // namespace kelto::boundary

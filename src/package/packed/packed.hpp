// The packed form: any value a kelto object holds (a constraint tree, a
// version, an operator, a package outline) as one flat byte string, which is
// what copying and pickling hand around. Flat means no reader or writer
// recurses: a tree is a table of nodes, children before parents, each naming
// its children by how far back in the table they stand, so a chain a million
// levels deep packs and unpacks in one loop. A node that several parents
// share is packed once, so a tree whose text would not fit in memory (each
// NumOf([c, c]) doubling it) packs as small as it was built.
//
// Unpacking trusts nothing: the bytes may come from a file anyone wrote. Every
// count is checked against the bytes left before anything is reserved, every
// reference must point back into the table (so no cycle can be made), texts
// must be UTF-8, versions must parse, and each kind, operator and flag must
// be one that exists.
#pragma once

#include "package/constraint/tree.hpp"
#include "package/outline/outline.hpp"
#include "package/version/version.hpp"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace kelto::package::packed {

/// An operator, and whether it was one of the six members of its class (which
/// come back as themselves) rather than an equal object read from a Cmp.
struct PackedCmpType {
    constraint::CmpType op;
    bool member;
};

/// What a packed form holds, by the kind of object it came from.
using Unpacked = std::variant<constraint::Constraint, version::Version, PackedCmpType, outline::PackageOutline>;

[[nodiscard]] std::string pack(const constraint::Constraint& root);
[[nodiscard]] std::string pack(const version::Version& version);
[[nodiscard]] std::string pack(PackedCmpType op);
[[nodiscard]] std::string pack(const outline::PackageOutline& outline);

/// Why bytes are no packed form: what was wrong, and at which byte.
struct UnpackError {
    std::string_view reason;
    std::size_t offset;
};

[[nodiscard]] std::expected<Unpacked, UnpackError> unpack(std::string_view bytes);

}  // namespace kelto::package::packed

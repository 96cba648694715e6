#include "package/packed/format.hpp"
#include "package/packed/packed.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelto::package::packed {
namespace {

using constraint::Constraint;
using format::What;

/// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
/// Texts always come from Python str objects, which never hold anything else.
bool valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) length = 2;
        else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        if (b1 < lo || b1 > hi) return false;
        for (std::size_t k = 2; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

/// Thrown inside the unpacker, caught once at its entry: one failure path
/// instead of a check after every read.
struct Refused {
    std::string_view reason;
    std::size_t offset;
};

class Unpacker {
public:
    explicit Unpacker(std::string_view bytes) noexcept : in_{bytes} {}

    Unpacked form() {
        if (byte("no format version") != format::kFormatVersion) refuse("an unknown format version", 0);
        const std::uint8_t what = byte("nothing after the format version");
        if (what >= format::kWhatCount) refuse("an unknown kind of object", 1);
        Unpacked result = body(static_cast<What>(what));
        if (!in_.done()) refuse("bytes after the end");
        return result;
    }

private:
    Unpacked body(What what) {
        switch (what) {
            case What::Constraint: {
                auto roots = forest();
                if (roots.size() != 1) refuse("a constraint that is not one tree");
                return std::move(roots.front());
            }
            case What::Version: return version();
            case What::CmpType: {
                const auto op = cmp_type();
                return PackedCmpType{op, flag("a member flag that is neither 0 nor 1")};
            }
            case What::Outline: {
                outline::PackageOutline outline;
                outline.name = text();
                outline.constraints = forest();
                const std::uint64_t options = count("more options than bytes");
                outline.set_options.reserve(static_cast<std::size_t>(options));
                for (std::uint64_t i = 0; i < options; ++i) {
                    Text name = text();
                    outline.set_options.append(std::move(name), value());
                }
                const std::uint64_t defaults = count("more defaults than bytes");
                outline.set_defaults.reserve(static_cast<std::size_t>(defaults));
                for (std::uint64_t i = 0; i < defaults; ++i) {
                    Text name = text();
                    std::optional<option::SpecOptionValue> held;
                    if (flag("a default flag that is neither 0 nor 1")) held = value();
                    outline.set_defaults.append(std::move(name), std::move(held));
                }
                return outline;
            }
        }
        refuse("an unknown kind of object", 1);
    }

    // ------------------------------------------------------------ pieces

    [[noreturn]] void refuse(std::string_view reason) const { throw Refused{reason, in_.offset()}; }
    [[noreturn]] static void refuse(std::string_view reason, std::size_t offset) { throw Refused{reason, offset}; }

    std::uint8_t byte(std::string_view missing) {
        const auto b = in_.byte();
        if (!b) refuse(missing);
        return *b;
    }

    bool flag(std::string_view bad) {
        const std::uint8_t b = byte("a truncated flag");
        if (b > 1) refuse(bad, in_.offset() - 1);
        return b == 1;
    }

    std::uint64_t varint() {
        const std::size_t at = in_.offset();
        const auto v = in_.varint();
        if (!v) refuse("a truncated or overlong number", at);
        return *v;
    }

    /// A count of items that take at least one byte each: never more than the
    /// bytes left, so nothing is reserved for items that are not there.
    std::uint64_t count(std::string_view too_many) {
        const std::size_t at = in_.offset();
        const std::uint64_t n = varint();
        if (n > in_.left()) refuse(too_many, at);
        return n;
    }

    std::string_view utf8() {
        const std::size_t at = in_.offset();
        const auto piece = in_.bytes(varint());
        if (!piece) refuse("a text longer than the bytes left", at);
        if (!valid_utf8(*piece)) refuse("a text that is not UTF-8", at);
        return *piece;
    }

    Text text() { return Text(utf8()); }

    constraint::CmpType cmp_type() {
        const std::uint8_t op = byte("a truncated operator");
        if (op >= constraint::kCmpTypeCount) refuse("an unknown operator", in_.offset() - 1);
        return static_cast<constraint::CmpType>(op);
    }

    version::Version version() {
        const std::size_t at = in_.offset();
        auto parsed = version::parse_version(utf8());
        if (!parsed) refuse("a version that does not parse", at);
        return *std::move(parsed);
    }

    option::SpecOptionValue value() {
        const std::uint8_t kind = byte("a truncated option value");
        switch (static_cast<option::OptionKind>(kind)) {
            case option::OptionKind::Bool: return flag("a boolean that is neither 0 nor 1");
            case option::OptionKind::Int: {
                const std::size_t at = in_.offset();
                const auto v = in_.signed_varint();
                if (!v) refuse("a truncated or overlong number", at);
                return *v;
            }
            case option::OptionKind::Float: {
                const auto bits = in_.fixed64();
                if (!bits) refuse("a truncated float");
                return std::bit_cast<double>(*bits);
            }
            case option::OptionKind::Str: return std::string(utf8());
            case option::OptionKind::Version: return version();
        }
        refuse("an unknown kind of option value", in_.offset() - 1);
    }

    // ------------------------------------------------------------ trees

    /// The node a child reference names: `distance` back from node `index`.
    const Constraint& child(std::uint64_t index) {
        const std::size_t at = in_.offset();
        const std::uint64_t distance = varint();
        if (distance == 0 || distance > index) refuse("a reference that does not point back into the table", at);
        return nodes_[static_cast<std::size_t>(index - distance)];
    }

    /// One field of a node, as write_node wrote it.
    template <class T>
    T field(std::uint64_t index) {
        using constraint::FieldKind;
        constexpr FieldKind kind = *constraint::kFieldKindOf<T>;
        if constexpr (kind == FieldKind::Child) {
            return child(index);
        } else if constexpr (kind == FieldKind::List) {
            const std::uint64_t n = count("a list with more items than bytes");
            std::vector<Constraint> items;
            items.reserve(static_cast<std::size_t>(n));
            for (std::uint64_t i = 0; i < n; ++i) items.push_back(child(index));
            return items;
        } else if constexpr (kind == FieldKind::Text) {
            return text();
        } else if constexpr (kind == FieldKind::Operator) {
            return cmp_type();
        } else {
            static_assert(kind == FieldKind::OptionValue, "every field kind is read");
            return value();
        }
    }

    /// A node of `Payload`, its fields read in order (a braced list is
    /// evaluated from left to right).
    template <class Payload>
    Constraint node(std::uint64_t index) {
        return std::apply([&](const auto&... fields) {
            return Constraint(Payload{field<constraint::detail::FieldType<decltype(fields)>>(index)...});
        }, constraint::KindTraits<Payload>::kFields);
    }

    /// The node table, then the roots it lists.
    std::vector<Constraint> forest() {
        const std::uint64_t n = count("more nodes than bytes");
        nodes_.clear();
        nodes_.reserve(static_cast<std::size_t>(n));
        for (std::uint64_t index = 0; index < n; ++index) {
            const std::uint8_t kind = byte("a truncated node");
            if (kind >= constraint::kKindCount) refuse("an unknown constraint kind", in_.offset() - 1);
            nodes_.push_back(constraint::visit_kind(static_cast<constraint::Kind>(kind),
                                                    [&]<class Payload>() { return node<Payload>(index); }));
        }
        const std::uint64_t root_count = count("more roots than bytes");
        std::vector<Constraint> roots;
        roots.reserve(static_cast<std::size_t>(root_count));
        for (std::uint64_t i = 0; i < root_count; ++i) {
            const std::size_t at = in_.offset();
            const std::uint64_t index = varint();
            if (index >= n) refuse("a root that is not in the table", at);
            roots.push_back(nodes_[static_cast<std::size_t>(index)]);
        }
        nodes_.clear();
        return roots;
    }

    format::Reader in_;
    std::vector<Constraint> nodes_;
};

}  // namespace

std::expected<Unpacked, UnpackError> unpack(std::string_view bytes) {
    try {
        return Unpacker{bytes}.form();
    } catch (const Refused& refused) {
        return std::unexpected(UnpackError{refused.reason, refused.offset});
    }
}

}  // namespace kelto::package::packed

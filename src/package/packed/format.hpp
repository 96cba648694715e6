// The bytes of the packed form, shared by the packer and the unpacker:
//
//   form      := kFormatVersion what body
//   what      := 0 constraint: forest, with one root
//              | 1 version:    text (its plain text form, parsed again)
//              | 2 operator:   op member(0|1)
//              | 3 outline:    text forest options defaults
//   forest    := count node*  count root*    (a root is a node's index)
//   node      := kind field*, the kind's fields in the order its declaration
//                lists them (tree.hpp): a child is `distance` (>= 1) back in
//                the table, a list `count child*`, an operator one byte
//                Cmp: child child op | Depends: text | IfThen: child child
//                Maximize, Minimize: child | NumOf: count child*
//                SpecOption: text text | Value: value
//   value     := option-kind (bool 0|1 | zigzag varint | 8-byte LE double | text | text)
//   options   := count (text value)*
//   defaults  := count (text (0 | 1 value))*
//   text      := count byte*  (UTF-8)
//
// Counts, indices and distances are unsigned LEB128 varints of at most 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelto::package::packed::format {

inline constexpr std::uint8_t kFormatVersion = 1;

enum class What : std::uint8_t { Constraint, Version, CmpType, Outline };
inline constexpr std::uint8_t kWhatCount = 4;

/// Appends the pieces of a packed form.
class Writer {
public:
    void byte(std::uint8_t b) { out_.push_back(static_cast<char>(b)); }

    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            byte(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        byte(static_cast<std::uint8_t>(v));
    }

    /// Small magnitudes of either sign stay short.
    void signed_varint(std::int64_t v) {
        const auto u = static_cast<std::uint64_t>(v);
        varint((u << 1) ^ (v < 0 ? ~std::uint64_t{0} : 0));
    }

    void fixed64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i, v >>= 8) byte(static_cast<std::uint8_t>(v));
    }

    void text(std::string_view t) {
        varint(t.size());
        out_.append(t);
    }

    [[nodiscard]] std::string& bytes() noexcept { return out_; }

private:
    std::string out_;
};

/// Reads the pieces back; every read fails (nullopt) rather than run past the end.
class Reader {
public:
    explicit Reader(std::string_view in) noexcept : in_{in} {}

    [[nodiscard]] std::size_t offset() const noexcept { return at_; }
    [[nodiscard]] std::size_t left() const noexcept { return in_.size() - at_; }
    [[nodiscard]] bool done() const noexcept { return at_ == in_.size(); }

    [[nodiscard]] std::optional<std::uint8_t> byte() noexcept {
        if (done()) return std::nullopt;
        return static_cast<std::uint8_t>(in_[at_++]);
    }

    /// Refuses more than ten bytes, and a tenth byte that would overflow 64 bits.
    [[nodiscard]] std::optional<std::uint64_t> varint() noexcept {
        std::uint64_t value = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            const auto b = byte();
            if (!b) return std::nullopt;
            if (shift == 63 && *b > 1) return std::nullopt;
            value |= std::uint64_t{*b & 0x7FU} << shift;
            if ((*b & 0x80U) == 0) return value;
        }
        return std::nullopt;
    }

    [[nodiscard]] std::optional<std::int64_t> signed_varint() noexcept {
        const auto u = varint();
        if (!u) return std::nullopt;
        return static_cast<std::int64_t>((*u >> 1) ^ (~(*u & 1) + 1));
    }

    [[nodiscard]] std::optional<std::uint64_t> fixed64() noexcept {
        if (left() < 8) return std::nullopt;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<std::uint8_t>(in_[at_++])} << (8 * i);
        return v;
    }

    /// `count` bytes, or nullopt when fewer are left.
    [[nodiscard]] std::optional<std::string_view> bytes(std::uint64_t count) noexcept {
        if (count > left()) return std::nullopt;
        const std::string_view piece = in_.substr(at_, static_cast<std::size_t>(count));
        at_ += piece.size();
        return piece;
    }

private:
    std::string_view in_;
    std::size_t at_ = 0;
};

}  // namespace kelto::package::packed::format

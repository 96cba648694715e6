#include "package/packed/format.hpp"
#include "package/packed/packed.hpp"

#include <bit>
#include <cstdint>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace kelto::package::packed {
namespace {

using constraint::Constraint;
using format::What;
using format::Writer;

void write_value(Writer& out, const option::SpecOptionValue& value) {
    out.byte(static_cast<std::uint8_t>(option::kind_of(value)));
    std::visit([&]<class T>(const T& v) {
        if constexpr (std::is_same_v<T, bool>) out.byte(v ? 1 : 0);
        else if constexpr (std::is_same_v<T, std::int64_t>) out.signed_varint(v);
        else if constexpr (std::is_same_v<T, double>) out.fixed64(std::bit_cast<std::uint64_t>(v));
        else if constexpr (std::is_same_v<T, std::string>) out.text(v);
        else out.text(version::plain_text(v));
    }, value);
}

/// A node's record once the table indices of its children are known: its
/// kind, then its fields in order, a child as its distance back in the table.
template <class Payload>
void write_node(Writer& out, const Payload& p, std::uint64_t index, const std::uint64_t* children) {
    using constraint::FieldKind;
    out.byte(static_cast<std::uint8_t>(constraint::kKindOf<Payload>));
    std::size_t next = 0;
    const auto child = [&] { out.varint(index - children[next++]); };
    constraint::for_each_field<Payload>([&]<class F>(const F&) {
        const auto& value = p.*F::kMember;
        constexpr FieldKind kind = *constraint::kFieldKindOf<std::remove_cvref_t<decltype(value)>>;
        if constexpr (kind == FieldKind::Child) {
            child();
        } else if constexpr (kind == FieldKind::List) {
            out.varint(value.size());
            for (std::size_t i = 0; i < value.size(); ++i) child();
        } else if constexpr (kind == FieldKind::Text) {
            out.text(value);
        } else if constexpr (kind == FieldKind::Operator) {
            out.byte(static_cast<std::uint8_t>(value));
        } else {
            static_assert(kind == FieldKind::OptionValue, "every field kind is written");
            write_value(out, value);
        }
    });
}

/// The node table of one or more trees, children first. A walk with its own
/// stack: each node is written once all its children are, and a shared node
/// once in all.
class ForestWriter {
public:
    /// Adds the tree of `root` (and what it shares with earlier ones); its index.
    std::uint64_t add(const Constraint& root) {
        visit(root);
        while (!open_.empty()) {
            Frame& frame = open_.back();
            if (frame.next < frame.count) {
                visit(child_of(*frame.node, frame.next++));
                continue;
            }
            const Frame done = frame;
            open_.pop_back();
            finish(done);
        }
        const std::uint64_t index = ready_.back();
        ready_.pop_back();
        return index;
    }

    /// The table: its size, then the nodes.
    void write_to(Writer& out) {
        out.varint(count_);
        out.bytes().append(table_.bytes());
    }

private:
    struct Frame {
        const Constraint* node;
        std::size_t next;
        std::size_t count;
    };

    static const Constraint& child_of(const Constraint& c, std::size_t i) {
        return constraint::visit_kind(c.kind(), [&]<class Payload>() -> const Constraint& {
            return constraint::child_at(c.get<Payload>(), i);
        });
    }

    void visit(const Constraint& c) {
        if (c.shared()) {
            if (const auto known = written_.find(c.node_id()); known != written_.end()) {
                ready_.push_back(known->second);
                return;
            }
        }
        const std::size_t count = constraint::visit_kind(
            c.kind(), [&]<class Payload>() { return constraint::child_count(c.get<Payload>()); });
        open_.push_back({&c, 0, count});
    }

    /// Writes a node whose children's indices are the last `count` ready ones.
    void finish(const Frame& frame) {
        const Constraint& c = *frame.node;
        const std::uint64_t index = count_++;
        const std::uint64_t* children = ready_.data() + (ready_.size() - frame.count);
        constraint::visit_kind(c.kind(), [&]<class Payload>() { write_node(table_, c.get<Payload>(), index, children); });
        ready_.resize(ready_.size() - frame.count);
        ready_.push_back(index);
        if (c.shared()) written_.emplace(c.node_id(), index);
    }

    Writer table_;
    std::uint64_t count_ = 0;
    std::vector<Frame> open_;
    std::vector<std::uint64_t> ready_;  ///< indices of finished nodes whose parent is still open
    std::unordered_map<const void*, std::uint64_t> written_;  ///< shared nodes already in the table
};

Writer start(What what) {
    Writer out;
    out.byte(format::kFormatVersion);
    out.byte(static_cast<std::uint8_t>(what));
    return out;
}

void write_forest(Writer& out, const std::vector<Constraint>& roots) {
    ForestWriter forest;
    std::vector<std::uint64_t> indices;
    indices.reserve(roots.size());
    for (const Constraint& root : roots) indices.push_back(forest.add(root));
    forest.write_to(out);
    out.varint(indices.size());
    for (const std::uint64_t index : indices) out.varint(index);
}

}  // namespace

std::string pack(const Constraint& root) {
    Writer out = start(What::Constraint);
    write_forest(out, {root});
    return std::move(out.bytes());
}

std::string pack(const version::Version& version) {
    Writer out = start(What::Version);
    out.text(version::plain_text(version));
    return std::move(out.bytes());
}

std::string pack(PackedCmpType op) {
    Writer out = start(What::CmpType);
    out.byte(static_cast<std::uint8_t>(op.op));
    out.byte(op.member ? 1 : 0);
    return std::move(out.bytes());
}

std::string pack(const outline::PackageOutline& outline) {
    Writer out = start(What::Outline);
    out.text(outline.name);
    write_forest(out, outline.constraints);
    out.varint(outline.set_options.size());
    for (const auto& [name, value] : outline.set_options) {
        out.text(name);
        write_value(out, value);
    }
    out.varint(outline.set_defaults.size());
    for (const auto& [name, value] : outline.set_defaults) {
        out.text(name);
        out.byte(value ? 1 : 0);
        if (value) write_value(out, *value);
    }
    return std::move(out.bytes());
}

}  // namespace kelto::package::packed

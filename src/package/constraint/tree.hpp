// The constraint tree: the value behind every constraint object. A Constraint
// is one pointer to a heap node holding its kind and payload; the recursive
// kinds hold their children as Constraints in that node.
//
// A node never changes while it is shared, so copies share it: copying a
// Constraint adds a reference, and the node goes with its last one. Wrapping
// a tree, reading a child out of one or holding one in a Python object
// therefore costs the same at any size, which is what lets Python code build
// a chain a million levels deep one wrapping at a time. Sharing is invisible
// to callers: `take()` moves a payload out, and `edit()` changes one in
// place, only through a node's sole reference. The counts are atomic, so
// copies of one tree may live and die on different threads. Trees have no
// cycles: a new node can only point at nodes that exist already, and a node
// changed in place is held by nothing, so nothing it is given leads back to it.
//
// Destruction and the text form never recurse: a chain of a million nested
// nodes is as safe as a single one.
#pragma once

#include "package/constraint/cmp_type.hpp"
#include "package/constraint/node_pool.hpp"
#include "package/text.hpp"
#include "package/option/option_value.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>
#include <tuple>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

namespace kelto::package::constraint {

/// The kinds, in their fixed order.
enum class Kind : std::uint8_t { Cmp, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value };

struct CmpPayload;
struct DependsPayload;
struct IfThenPayload;
struct MaximizePayload;
struct MinimizePayload;
struct NumOfPayload;
struct SpecOptionPayload;
struct ValuePayload;

/// The payload types, in the order of their kinds: the one list of kinds,
/// from which the rest is derived.
template <class... P>
struct PayloadList {};
using Payloads = PayloadList<CmpPayload, DependsPayload, IfThenPayload, MaximizePayload, MinimizePayload,
                             NumOfPayload, SpecOptionPayload, ValuePayload>;

namespace detail {
template <class T, class... P>
consteval bool listed(PayloadList<P...>) { return (std::is_same_v<T, P> || ...); }
template <class... P>
consteval std::size_t count(PayloadList<P...>) { return sizeof...(P); }
}  // namespace detail

/// True for the payload types.
template <class T>
inline constexpr bool kIsPayload = detail::listed<T>(Payloads{});

/// How many kinds there are.
inline constexpr std::size_t kKindCount = detail::count(Payloads{});
static_assert(kKindCount - 1 <= std::numeric_limits<std::underlying_type_t<Kind>>::max(),
              "every kind has a value of Kind's type");

namespace detail {
/// What every node starts with: its kind in the low byte of one word, and
/// above it how many Constraints point at it. One word keeps a node as small
/// as a bare count would, and leaves the kind free of the pointer's bits.
class NodeHeader {
public:
    static constexpr unsigned kKindBits = 8;
    static constexpr std::uint64_t kOneRef = std::uint64_t{1} << kKindBits;
    static_assert(sizeof(Kind) * 8 <= kKindBits);

    explicit NodeHeader(Kind kind) noexcept : word_{kOneRef | static_cast<std::uint64_t>(kind)} {}

    /// Set at birth and never changed, so a relaxed read is enough.
    [[nodiscard]] Kind kind() const noexcept {
        return static_cast<Kind>(word_.load(std::memory_order_relaxed) & (kOneRef - 1));
    }
    /// True while one Constraint alone points at the node.
    [[nodiscard]] bool sole() const noexcept { return word_.load(std::memory_order_acquire) < 2 * kOneRef; }
    void add_reference() noexcept { word_.fetch_add(kOneRef, std::memory_order_relaxed); }
    /// Drops one reference; true when it was the last.
    [[nodiscard]] bool drop_reference() noexcept {
        return word_.fetch_sub(kOneRef, std::memory_order_release) < 2 * kOneRef;
    }

private:
    std::atomic<std::uint64_t> word_;
};

/// A node: its header, then the payload, which stays as built while the node
/// is shared.
template <class Payload>
struct Node : NodeHeader {
    /// A node of `kind` with one reference, its payload made from `args`.
    template <class... Args>
    explicit Node(Kind kind, Args&&... args) : NodeHeader{kind}, payload{std::forward<Args>(args)...} {}

    Payload payload;
};
}  // namespace detail

/// A whole tree. Copying adds a reference to the shared root; moving moves
/// one pointer.
class Constraint {
public:
    /// A node taking over `payload` (an rvalue) or holding a copy of it.
    template <class Payload>
        requires kIsPayload<std::remove_cvref_t<Payload>>
    explicit Constraint(Payload&& payload);

    /// A node holding `Payload{args...}`, built in place.
    template <class Payload, class... Args>
        requires kIsPayload<Payload>
    [[nodiscard]] static Constraint make(Args&&... args);

    Constraint(const Constraint& other) noexcept;
    Constraint& operator=(const Constraint& other) noexcept;
    Constraint(Constraint&& other) noexcept : bits_{std::exchange(other.bits_, 0)} {}
    Constraint& operator=(Constraint&& other) noexcept;
    ~Constraint();

    [[nodiscard]] Kind kind() const noexcept { return header()->kind(); }

    /// The payload of the node; the kind must match (checked in debug builds).
    template <class Payload>
    [[nodiscard]] const Payload& get() const noexcept;

    /// The payload, moved out when this is the node's only reference and
    /// copied otherwise (its children are shared, so that is cheap too); leaves
    /// this Constraint empty (only destruction and assignment remain valid on it).
    template <class Payload>
    [[nodiscard]] Payload take() &&;

    /// Changes the payload through `edit(Payload&)`, which must not throw: in
    /// place when this is the node's only reference, since nothing else can
    /// see the node; otherwise on a copy (sharing its children) in a new node
    /// that replaces this one's, so every other holder keeps what it had.
    template <class Payload, class Edit>
    void edit(Edit&& edit);

    /// True for a moved-from Constraint.
    [[nodiscard]] bool empty() const noexcept { return bits_ == 0; }

    /// Whether another Constraint holds this node too. A walk that meets a
    /// node more than once meets it through a shared one: a node held once is
    /// reached only through the one parent that holds it.
    [[nodiscard]] bool shared() const noexcept { return !header()->sole(); }

    /// The node, as an identity: equal for Constraints that share one.
    [[nodiscard]] const void* node_id() const noexcept { return header(); }

private:
    friend struct TreeAccess;  // the iterative teardown in tree.cpp
    friend class Holder;       // keeps its own marker in bits_ while it holds no node

    Constraint() noexcept = default;  // empty, for make()

    [[nodiscard]] detail::NodeHeader* header() const noexcept {
        return reinterpret_cast<detail::NodeHeader*>(bits_);
    }
    /// Lets go of the reference in `bits`, freeing what nothing else holds.
    static void release(std::uintptr_t bits) noexcept;

    std::uintptr_t bits_ = 0;
};

struct CmpPayload {
    Constraint lhs;
    Constraint rhs;
    CmpType op;
};

struct DependsPayload {
    Text name;
};

struct IfThenPayload {
    Constraint cond;
    Constraint then;
};

struct MaximizePayload {
    Constraint item;
};

struct MinimizePayload {
    Constraint item;
};

struct NumOfPayload {
    std::vector<Constraint> of;
};

struct SpecOptionPayload {
    Text package_name;
    Text option_name;
};

struct ValuePayload {
    option::SpecOptionValue value;
};

/// The comparison type of a constraint, by its own kind only.
enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };

// ---------------------------------------------------------------- the kind table

/// One field of a payload: the member, and the names Python knows it by (the
/// property, and the constructor's parameter, which is the same name unless
/// given). What it is in Python follows from the member's type: a Text is a
/// str, a Constraint a constraint, a std::vector<Constraint> a list of them,
/// a CmpType an operator and a SpecOptionValue an option value.
template <auto Member>
struct Field {
    static constexpr auto kMember = Member;
    std::string_view name;
    std::string_view param = name;
};

/// The types a field may have, as FieldKind tells them apart.
enum class FieldKind : std::uint8_t { Text, Child, List, Operator, OptionValue };

template <class T>
inline constexpr std::optional<FieldKind> kFieldKindOf = std::nullopt;
template <>
inline constexpr std::optional<FieldKind> kFieldKindOf<Text> = FieldKind::Text;
template <>
inline constexpr std::optional<FieldKind> kFieldKindOf<Constraint> = FieldKind::Child;
template <>
inline constexpr std::optional<FieldKind> kFieldKindOf<std::vector<Constraint>> = FieldKind::List;
template <>
inline constexpr std::optional<FieldKind> kFieldKindOf<CmpType> = FieldKind::Operator;
template <>
inline constexpr std::optional<FieldKind> kFieldKindOf<option::SpecOptionValue> = FieldKind::OptionValue;

/// What the tree knows of each payload, one specialisation per kind: its
/// kind and name (also its Python class's); its fields (`kFields`), every
/// member of the payload in order, from which its children follow (the
/// fields holding one Constraint, or the one holding a list of them); the
/// pieces of its text form (a parent's `kOpen`, separator between two
/// children and `kClose`; a leaf's whole text from `write`); and its
/// comparison type (`kValueType`, or `value_type` when the payload decides).
/// Walks, teardown, text, the type check and the packed form are derived
/// from these, and so is everything the Python layer does per kind: its
/// class's constructor (whose parameters are the fields, unless
/// `kConstructible` is false), properties, records and stubs.
template <class Payload>
struct KindTraits;

template <>
struct KindTraits<CmpPayload> {
    static constexpr Kind kKind = Kind::Cmp;
    static constexpr std::string_view kName = "Cmp";
    static constexpr auto kFields =
        std::tuple{Field<&CmpPayload::lhs>{"lhs"}, Field<&CmpPayload::rhs>{"rhs"}, Field<&CmpPayload::op>{"op"}};
    static constexpr std::string_view kOpen = "[ ", kClose = " ]";
    static void separator(std::string& out, const CmpPayload& p) {
        out.append(" ] ").append(operator_text(p.op)).append(" [ ");
    }
    static constexpr std::optional<ValueType> kValueType = ValueType::Bool;
};

template <>
struct KindTraits<DependsPayload> {
    static constexpr Kind kKind = Kind::Depends;
    static constexpr std::string_view kName = "Depends";
    // The constructor takes the name as `name`; the property holding it is `on`.
    static constexpr auto kFields = std::tuple{Field<&DependsPayload::name>{.name = "on", .param = "name"}};
    static void write(std::string& out, const DependsPayload& p) { out.append("Depends( ").append(p.name).append(" )"); }
    static constexpr std::optional<ValueType> kValueType = ValueType::Bool;
};

template <>
struct KindTraits<IfThenPayload> {
    static constexpr Kind kKind = Kind::IfThen;
    static constexpr std::string_view kName = "IfThen";
    static constexpr auto kFields = std::tuple{Field<&IfThenPayload::cond>{"cond"}, Field<&IfThenPayload::then>{"then"}};
    static constexpr std::string_view kOpen = "If( ", kSeparator = " ) Then [ ", kClose = " ]";
    static constexpr std::optional<ValueType> kValueType = std::nullopt;
};

/// Maximize and Minimize differ only in their kind and their name.
template <class Goal, Kind K>
struct GoalTraits {
    static constexpr Kind kKind = K;
    static constexpr std::string_view kName = K == Kind::Maximize ? "Maximize" : "Minimize";
    static constexpr auto kFields = std::tuple{Field<&Goal::item>{"item"}};
    static constexpr std::string_view kOpen = K == Kind::Maximize ? "Maximize( " : "Minimize( ", kClose = " )";
    static constexpr std::optional<ValueType> kValueType = std::nullopt;
};
template <>
struct KindTraits<MaximizePayload> : GoalTraits<MaximizePayload, Kind::Maximize> {};
template <>
struct KindTraits<MinimizePayload> : GoalTraits<MinimizePayload, Kind::Minimize> {};

template <>
struct KindTraits<NumOfPayload> {
    static constexpr Kind kKind = Kind::NumOf;
    static constexpr std::string_view kName = "NumOf";
    static constexpr auto kFields = std::tuple{Field<&NumOfPayload::of>{"of"}};
    static constexpr std::string_view kOpen = "NumOf( ", kSeparator = ", ", kClose = " )";
    static constexpr std::optional<ValueType> kValueType = ValueType::Int;
};

template <>
struct KindTraits<SpecOptionPayload> {
    static constexpr Kind kKind = Kind::SpecOption;
    static constexpr std::string_view kName = "SpecOption";
    static constexpr auto kFields = std::tuple{Field<&SpecOptionPayload::package_name>{"package_name"},
                                               Field<&SpecOptionPayload::option_name>{"option_name"}};
    static void write(std::string& out, const SpecOptionPayload& p) {
        out.append("Package '").append(p.package_name).append("' -> Option '").append(p.option_name).append("'");
    }
    static constexpr std::optional<ValueType> kValueType = ValueType::Unknown;
};

template <>
struct KindTraits<ValuePayload> {
    static constexpr Kind kKind = Kind::Value;
    static constexpr std::string_view kName = "Value";
    static constexpr auto kFields = std::tuple{Field<&ValuePayload::value>{"value"}};
    // Only the module makes a Value: its class has no constructor.
    static constexpr bool kConstructible = false;
    static void write(std::string& out, const ValuePayload& p) { option::append_text(out, p.value); }
    static std::optional<ValueType> value_type(const ValuePayload& p) noexcept {
        // Option kinds Bool..Version map onto value types Bool..Version.
        static_assert(static_cast<int>(ValueType::Bool) == static_cast<int>(option::OptionKind::Bool) + 1 &&
                      static_cast<int>(ValueType::Version) == static_cast<int>(option::OptionKind::Version) + 1);
        return static_cast<ValueType>(static_cast<int>(option::kind_of(p.value)) + 1);
    }
};

namespace detail {
template <class... P>
consteval bool in_kind_order(PayloadList<P...>) {
    std::size_t index = 0;
    return ((static_cast<std::size_t>(KindTraits<P>::kKind) == index++) && ...);
}
static_assert(in_kind_order(Payloads{}), "one payload per kind, in the order of the kinds");

/// The type a field's member holds.
template <auto Member>
struct MemberOf;
template <class P, class T, T P::* Member>
struct MemberOf<Member> {
    using Payload = P;
    using Type = T;
};

/// The type the field `F` (a Field<...>) holds.
template <class F>
using FieldType = typename MemberOf<std::remove_cvref_t<F>::kMember>::Type;

/// How many of `Payload`'s fields are of `kind`.
template <class Payload>
consteval std::size_t fields_of_kind(FieldKind kind) {
    return std::apply([&](auto... field) {
        return (std::size_t{0} + ... + std::size_t{kFieldKindOf<FieldType<decltype(field)>> == kind});
    }, KindTraits<Payload>::kFields);
}

/// The members of `Payload` holding one child each, in field order.
template <class Payload>
consteval auto child_members() {
    return std::apply([](auto... field) {
        return std::tuple_cat([]<class F>(F) {
            if constexpr (kFieldKindOf<FieldType<F>> == FieldKind::Child) return std::tuple{F::kMember};
            else return std::tuple{};
        }(field)...);
    }, KindTraits<Payload>::kFields);
}

/// The member holding `Payload`'s list of children (when it has one).
template <class Payload>
consteval auto list_member() {
    return std::apply([](auto... field) {
        return std::get<0>(std::tuple_cat([]<class F>(F) {
            if constexpr (kFieldKindOf<FieldType<F>> == FieldKind::List) return std::tuple{F::kMember};
            else return std::tuple{};
        }(field)...));
    }, KindTraits<Payload>::kFields);
}

/// Converts to anything: a field too many for a payload's aggregate initialisation.
struct AnyField {
    template <class T>
    operator T() const;  // NOLINT: never called, only asked about
};

/// True when `kFields` names members of `Payload` of the field types, and as
/// many as the payload has: the payload is made from them alone, in order.
template <class Payload>
consteval bool fields_cover_payload() {
    return std::apply([](auto... field) {
        return ((std::is_same_v<typename MemberOf<std::remove_cvref_t<decltype(field)>::kMember>::Payload, Payload> &&
                 kFieldKindOf<FieldType<decltype(field)>>.has_value()) && ...) &&
               requires { Payload{std::declval<FieldType<decltype(field)>>()...}; } &&
               !requires { Payload{std::declval<FieldType<decltype(field)>>()..., AnyField{}}; };
    }, KindTraits<Payload>::kFields);
}

template <class T>
concept HasFields = requires { KindTraits<T>::kFields; };
template <class T>
concept HasList = HasFields<T> && fields_of_kind<T>(FieldKind::List) > 0;
template <class T>
concept HasChildren = HasFields<T> && fields_of_kind<T>(FieldKind::Child) > 0;
template <class T>
concept HasOpen = requires { KindTraits<T>::kOpen; };
template <class T>
concept HasClose = requires { KindTraits<T>::kClose; };
template <class T>
concept HasWrite = requires(std::string& out, const T& p) { KindTraits<T>::write(out, p); };
template <class T>
concept HasFixedSeparator = requires { KindTraits<T>::kSeparator; };
template <class T>
concept HasSeparatorFn = requires(std::string& out, const T& p) { KindTraits<T>::separator(out, p); };
template <class T>
concept HasFixedType = requires { KindTraits<T>::kValueType; };
template <class T>
concept HasTypeFn = requires(const T& p) { KindTraits<T>::value_type(p); };

/// True when a parent may hold more than one child, so needs a separator.
template <class T>
consteval bool may_hold_several() {
    if constexpr (HasList<T>) return true;
    else if constexpr (HasChildren<T>) return fields_of_kind<T>(FieldKind::Child) > 1;
    else return false;
}
}  // namespace detail

/// A payload's traits as the walks read them, so that a misspelt optional
/// member fails to compile instead of dropping text: its fields are the
/// whole payload, each of a field type, with at most one list and never
/// both a list and single children; a leaf has `write` and nothing else of
/// the text form; a parent has `kOpen` and `kClose`, and one separator form
/// exactly when it may hold several children; every payload has exactly one
/// value-type form.
template <class T>
concept DescribedPayload =
    requires {
        { KindTraits<T>::kKind } -> std::convertible_to<Kind>;
        { KindTraits<T>::kName } -> std::convertible_to<std::string_view>;
    } &&
    detail::HasFields<T> && detail::fields_cover_payload<T>() &&
    detail::fields_of_kind<T>(FieldKind::List) <= 1 && !(detail::HasList<T> && detail::HasChildren<T>) &&
    ((detail::HasWrite<T> && !detail::HasOpen<T> && !detail::HasClose<T> && !detail::HasChildren<T> &&
      !detail::HasList<T> && !detail::HasFixedSeparator<T> && !detail::HasSeparatorFn<T>) ||
     (!detail::HasWrite<T> && detail::HasOpen<T> && detail::HasClose<T> &&
      (detail::HasChildren<T> || detail::HasList<T>) &&
      int{detail::HasFixedSeparator<T>} + int{detail::HasSeparatorFn<T>} == int{detail::may_hold_several<T>()})) &&
    detail::HasFixedType<T> != detail::HasTypeFn<T>;

namespace detail {
template <class... P>
consteval bool described(PayloadList<P...>) {
    return (DescribedPayload<P> && ...);
}
static_assert(described(Payloads{}), "every payload's traits as the walks read them");
}  // namespace detail

/// The kind whose node holds each payload type.
template <class Payload>
inline constexpr Kind kKindOf = KindTraits<Payload>::kKind;

/// The members of `Payload` that hold one child each, in field order.
template <class Payload>
inline constexpr auto kChildrenOf = detail::child_members<Payload>();

/// The member of `Payload` that holds its list of children (detail::HasList only).
template <class Payload>
inline constexpr auto kListOf = detail::list_member<Payload>();

/// Whether Python may build `Payload`'s class from its fields.
template <class Payload>
inline constexpr bool kConstructible = [] {
    if constexpr (requires { KindTraits<Payload>::kConstructible; }) return KindTraits<Payload>::kConstructible;
    else return true;
}();

/// `f(field)` for each of `Payload`'s fields, in order.
template <class Payload, class F>
constexpr void for_each_field(F&& f) {
    std::apply([&](const auto&... field) { (f(field), ...); }, KindTraits<Payload>::kFields);
}

/// `f.template operator()<Payload>()` for the payload type of `kind`: the one
/// dispatch over kinds. A table of one entry per payload, complete by the
/// static_assert above.
template <class F>
decltype(auto) visit_kind(Kind kind, F&& f) {
    return [&]<class First, class... Rest>(PayloadList<First, Rest...>) -> decltype(auto) {
        using R = decltype(f.template operator()<First>());
        using Entry = R (*)(F&);
        static constexpr Entry kTable[] = {[](F& g) -> R { return g.template operator()<First>(); },
                                           [](F& g) -> R { return g.template operator()<Rest>(); }...};
        return kTable[static_cast<std::size_t>(kind)](f);
    }(Payloads{});
}

/// How many children a payload has.
template <class Payload>
[[nodiscard]] std::size_t child_count(const Payload& p) noexcept {
    if constexpr (detail::HasList<Payload>) return (p.*kListOf<Payload>).size();
    else if constexpr (detail::HasChildren<Payload>) return std::tuple_size_v<decltype(kChildrenOf<Payload>)>;
    else return 0;
}

/// Child `i` of a payload (i < child_count).
template <class Payload>
[[nodiscard]] const Constraint& child_at(const Payload& p, std::size_t i) noexcept {
    if constexpr (detail::HasList<Payload>) {
        return (p.*kListOf<Payload>)[i];
    } else if constexpr (!detail::HasChildren<Payload>) {
        std::abort();  // a leaf has no children to ask for
    } else {
        return std::apply([&](auto... member) -> const Constraint& {
            const Constraint* children[] = {&(p.*member)..., nullptr};
            return *children[i];
        }, kChildrenOf<Payload>);
    }
}

namespace detail {
template <class... P>
consteval std::size_t largest_node(PayloadList<P...>) {
    return std::max({sizeof(Node<P>)...});
}
}  // namespace detail

/// The pools' block sizes reach up to the largest node.
using NodePools = detail::NodePools<detail::largest_node(Payloads{})>;

template <class Payload>
const Payload& Constraint::get() const noexcept {
    assert(!empty() && kind() == kKindOf<Payload>);
    return static_cast<const detail::Node<Payload>*>(header())->payload;
}

template <class Payload>
    requires kIsPayload<std::remove_cvref_t<Payload>>
Constraint::Constraint(Payload&& payload) {
    using P = std::remove_cvref_t<Payload>;
    detail::NodeHeader* node =
        detail::make_node<detail::Node<P>>(NodePools::local(), kKindOf<P>, std::forward<Payload>(payload));
    bits_ = reinterpret_cast<std::uintptr_t>(node);
}

template <class Payload, class... Args>
    requires kIsPayload<Payload>
Constraint Constraint::make(Args&&... args) {
    Constraint made;
    detail::NodeHeader* node =
        detail::make_node<detail::Node<Payload>>(NodePools::local(), kKindOf<Payload>, std::forward<Args>(args)...);
    made.bits_ = reinterpret_cast<std::uintptr_t>(node);
    return made;
}

inline Constraint::Constraint(const Constraint& other) noexcept : bits_{other.bits_} {
    if (bits_ != 0) header()->add_reference();
}

inline Constraint& Constraint::operator=(const Constraint& other) noexcept {
    // The new reference is taken before the old one goes: `other` may live
    // inside the tree being let go.
    Constraint copy{other};
    return *this = std::move(copy);
}

inline Constraint& Constraint::operator=(Constraint&& other) noexcept {
    // Take the new pointer before letting go of the old tree, which may own `other`.
    if (this != &other) release(std::exchange(bits_, std::exchange(other.bits_, 0)));
    return *this;
}

inline Constraint::~Constraint() {
    if (bits_ != 0) release(bits_);
}

template <class Payload>
Payload Constraint::take() && {
    assert(!empty() && kind() == kKindOf<Payload>);
    auto* node = static_cast<detail::Node<Payload>*>(header());
    if (node->sole()) {
        // The only reference: nobody else can see the node, so its children
        // may be moved out, after which freeing it frees only the node.
        bits_ = 0;
        Payload payload(std::move(node->payload));
        detail::free_node(NodePools::local(), node);
        return payload;
    }
    Payload payload(node->payload);
    release(std::exchange(bits_, 0));
    return payload;
}

template <class Payload, class Edit>
void Constraint::edit(Edit&& edit) {
    static_assert(std::is_nothrow_invocable_v<Edit, Payload&>);
    assert(!empty() && kind() == kKindOf<Payload>);
    auto* node = static_cast<detail::Node<Payload>*>(header());
    if (node->sole()) {
        std::forward<Edit>(edit)(node->payload);
        return;
    }
    Payload copy(node->payload);
    std::forward<Edit>(edit)(copy);
    *this = Constraint(std::move(copy));
}

/// The longest text form written. Shared nodes let a few lines of code build a
/// tree whose text would not fit in memory (each NumOf([c, c]) doubles it),
/// so such a text is refused before a byte of it is written.
inline constexpr std::size_t kMaxTextBytes = std::size_t{1} << 30;

/// What the writer throws for a text longer than kMaxTextBytes.
class TextTooLong : public std::length_error {
public:
    TextTooLong() : std::length_error{"the text form of a constraint is longer than 1 GiB"} {}
};

/// The length of the text form of `c`, or nothing when it passes `limit`.
/// Takes time in the number of distinct nodes, however often they are shared.
[[nodiscard]] std::optional<std::size_t> constraint_text_size(const Constraint& c, std::size_t limit);

/// The text form: "[ Depends( a ) ] == [ true ]", "NumOf(  )", ...
/// Throws TextTooLong, with `out` unchanged, when `out` would pass kMaxTextBytes.
void append_constraint_text(std::string& out, const Constraint& c);
[[nodiscard]] std::string constraint_text(const Constraint& c);

/// Cmp, Depends: Bool; NumOf: Int; SpecOption: Unknown; Value: by its option
/// kind; IfThen, Maximize, Minimize: none.
[[nodiscard]] std::optional<ValueType> value_type_of(const Constraint& c) noexcept;

/// A comparison that the type check refused, and why: the value type of
/// each side. refusal_text (refusal.hpp) puts it into words.
struct CmpRefusal {
    std::optional<ValueType> lhs_type;
    std::optional<ValueType> rhs_type;
};

/// The refusal of comparing `lhs` with `rhs` under `op`, or nothing when the
/// comparison is well typed: both sides have the same value type, and
/// booleans meet only under == and !=.
[[nodiscard]] std::optional<CmpRefusal> check_cmp(const Constraint& lhs, const Constraint& rhs, CmpType op);

}  // namespace kelto::package::constraint

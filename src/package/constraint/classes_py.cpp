// The class of each kind, in the order of the kinds, each made from its
// kind's declaration. What is made here has internal linkage, as each class's
// own file once gave it: the constructors' calls stay direct and local, and
// are inlined as freely.
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

using detail::ArgumentOf;
using detail::FieldType;
using detail::kFieldAt;

template <class Payload, class Indices = std::make_index_sequence<std::tuple_size_v<decltype(KindTraits<Payload>::kFields)>>>
struct Derived;
template <class Payload, std::size_t... I>
struct Derived<Payload, std::index_sequence<I...>> {
    static constexpr boundary::Param kParams[] = {detail::param_at<Payload, I>()...};
    static constexpr boundary::Signature kNew{
        .owner = KindTraits<Payload>::kName, .name = "__new__", .params = kParams, .required = sizeof...(I)};
    static constexpr boundary::PropertySpec kProperties[] = {detail::property_at<Payload, I>()...};
    static constexpr auto kName = detail::fixed<KindTraits<Payload>::kName.size()>(KindTraits<Payload>::kName);

    /// The class's description, its own shape aside: a constructor taking the
    /// fields in order (none for a kind Python cannot build).
    static consteval boundary::ClassSpec base() {
        if constexpr (kConstructible<Payload>)
            return boundary::class_spec<Holder, kNew,
                                        &build_node<Payload, ArgumentOf<FieldType<decltype(kFieldAt<Payload, I>)>>...>>();
        else
            return boundary::class_spec<Holder, kName>();
    }
};

/// What a class has beyond its fields: none, but for Cmp's if_then.
template <class Payload>
constexpr std::span<const boundary::MethodSpec> kMethodsOf = {};
template <>
constexpr std::span<const boundary::MethodSpec> kMethodsOf<CmpPayload> = cmp_methods;

/// The class of `Payload`'s kind, all from the kind's declaration: its
/// constructor takes the fields in order, builds whatever it is given (only
/// the operators type-check) and checks no name; each field is a property,
/// readable and assignable.
template <class Payload>
constexpr boundary::ClassSpec kClassSpecOf =
    constraint_class<Payload>(Derived<Payload>::base(), Derived<Payload>::kProperties, kMethodsOf<Payload>);

template <class... P>
constexpr KindClasses make_classes(PayloadList<P...>) {
    return {{boundary::ClassObject{kClassSpecOf<P>}...}};
}

}  // namespace

constinit KindClasses kind_classes = make_classes(Payloads{});

}  // namespace kelto::package::constraint

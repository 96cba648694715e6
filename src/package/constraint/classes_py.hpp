// The eight constraint classes of kelto.package.constraint. Each instance owns
// the payload of one kind of Constraint; IfThen instances also belong to the
// thread that made them.
#pragma once

#include "boundary/instance.hpp"
#include "boundary/type.hpp"
#include "package/constraint/tree.hpp"

template <>
struct kelto::boundary::ThreadAffinity<kelto::package::constraint::IfThenPayload> {
    static constexpr bool kBound = true;
    static constexpr std::string_view kTypePath = "kelto::package::constraint::if_then::IfThen";
};

namespace kelto::package::constraint {

extern boundary::ClassObject cmp_class;
extern boundary::ClassObject depends_class;
extern boundary::ClassObject if_then_class;
extern boundary::ClassObject maximize_class;
extern boundary::ClassObject minimize_class;
extern boundary::ClassObject num_of_class;
extern boundary::ClassObject spec_option_class;
extern boundary::ClassObject value_class;

/// The class whose instances hold `Payload`.
template <class Payload>
boundary::ClassObject& class_of() noexcept;

template <> inline boundary::ClassObject& class_of<CmpPayload>() noexcept { return cmp_class; }
template <> inline boundary::ClassObject& class_of<DependsPayload>() noexcept { return depends_class; }
template <> inline boundary::ClassObject& class_of<IfThenPayload>() noexcept { return if_then_class; }
template <> inline boundary::ClassObject& class_of<MaximizePayload>() noexcept { return maximize_class; }
template <> inline boundary::ClassObject& class_of<MinimizePayload>() noexcept { return minimize_class; }
template <> inline boundary::ClassObject& class_of<NumOfPayload>() noexcept { return num_of_class; }
template <> inline boundary::ClassObject& class_of<SpecOptionPayload>() noexcept { return spec_option_class; }
template <> inline boundary::ClassObject& class_of<ValuePayload>() noexcept { return value_class; }

}  // namespace kelto::package::constraint

// The class of each kind, in the order of the kinds.
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

template <class... P>
constexpr KindClasses make_classes(PayloadList<P...>) {
    return {{boundary::ClassObject{kClassSpecOf<P>}...}};
}

}  // namespace

constinit KindClasses kind_classes = make_classes(Payloads{});

}  // namespace kelto::package::constraint

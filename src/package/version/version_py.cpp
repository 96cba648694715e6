#include "package/version/version_py.hpp"

#include "boundary/trampoline.hpp"

namespace kelto::package::version {
namespace {

using boundary::Owned;
using boundary::Result;

Result<Owned> version_new(PyTypeObject* cls, std::string_view ver) {
    // Checked first and then built in place: the text is copied once, into the object.
    const auto spelling = check_version(ver);
    if (!spelling) return boundary::raise(PyExc_ValueError, debug_text(spelling.error()));
    return boundary::emplace_instance(cls, [&] { return Version::checked(ver, *spelling); });
}

Result<Owned> version_repr(const Version& self) { return boundary::str_to_py(debug_text(self)); }
Result<Owned> version_str(const Version& self) { return boundary::str_to_py(self.text()); }

constexpr boundary::Param kNewParams[] = {{.name = "ver", .annotation = "str"}};
constexpr boundary::Signature kNew{.owner = "Version", .name = "__new__", .params = kNewParams, .required = 1};

constexpr boundary::ClassSpec kVersionSpec = [] {
    auto spec = boundary::class_spec<Version, kNew, &version_new,
                                     "A generic version.\n\nSee the documentation for this module for more information.">();
    spec.repr = &boundary::Reader<&version_repr, "__repr__">::text;
    spec.str = &boundary::Reader<&version_str, "__str__">::text;
    return spec;
}();

}  // namespace

boundary::ClassObject version_class{kVersionSpec};

}  // namespace kelto::package::version

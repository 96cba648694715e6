#include "package/constraint/cmp_type_py.hpp"

#include "boundary/trampoline.hpp"

#include <string>

namespace kelto::package::constraint {
namespace {

using boundary::Owned;
using boundary::Result;

Result<Owned> cmp_type_repr(const CmpType& op) {
    std::string text = "CmpType.";
    text += member_name(op);
    return boundary::str_to_py(text);
}

Result<Owned> cmp_type_int(const CmpType& op) {
    return boundary::checked(PyLong_FromLong(static_cast<long>(op)));
}

template <CmpType Member>
Result<Owned> make_member(PyTypeObject* cls) {
    return boundary::new_instance(cls, Member);
}

constexpr boundary::ClassAttribute kMembers[] = {
    {"Less", &make_member<CmpType::Less>},
    {"LessOrEqual", &make_member<CmpType::LessOrEqual>},
    {"NotEqual", &make_member<CmpType::NotEqual>},
    {"Equal", &make_member<CmpType::Equal>},
    {"GreaterOrEqual", &make_member<CmpType::GreaterOrEqual>},
    {"Greater", &make_member<CmpType::Greater>},
};

constexpr boundary::ClassSpec kCmpTypeSpec = [] {
    auto spec = boundary::class_spec<CmpType, "CmpType">();
    spec.repr = &boundary::Reader<&cmp_type_repr, "__repr__">::text;
    spec.to_int = &boundary::Reader<&cmp_type_int, "__int__">::text;
    spec.attributes = kMembers;
    spec.slot_records = false;  // described by its class record alone
    return spec;
}();

}  // namespace

boundary::ClassObject cmp_type_class{kCmpTypeSpec};

Result<CmpType> cmp_type_from_py(boundary::Borrowed obj) {
    PyTypeObject* cls = cmp_type_class.get();
    if (!boundary::is_instance(obj, cls)) return boundary::raise_type_mismatch(obj, cls);
    return boundary::read_payload<CmpType>(obj, [](const CmpType& op) { return op; });
}

Result<Owned> cmp_type_to_py(CmpType op) { return boundary::new_instance(cmp_type_class.get(), op); }

Result<Owned> cmp_type_member(CmpType op) {
    // The class is immutable: its attributes are the members made with it.
    const std::string name{member_name(op)};
    return boundary::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(cmp_type_class.get()), name.c_str()));
}

}  // namespace kelto::package::constraint

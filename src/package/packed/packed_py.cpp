#include "package/packed/packed_py.hpp"

#include "boundary/module.hpp"
#include "boundary/pickling.hpp"
#include "boundary/trampoline.hpp"
#include "package/constraint/classes_py.hpp"
#include "package/constraint/cmp_type_py.hpp"
#include "package/constraint/convert_py.hpp"
#include "package/outline/outline.hpp"
#include "package/outline/outline_py.hpp"
#include "package/packed/packed.hpp"
#include "package/version/version_py.hpp"

#include <algorithm>
#include <format>
#include <string>
#include <utility>

namespace kelto::package::packed {
namespace {

using boundary::Borrowed;
using boundary::Owned;
using boundary::Result;

// The key pickles name the module by. Its __name__ is the same dotted key, so
// that the functions' __module__ leads an unpickler to it (a short "_pickle"
// would name the interpreter's own pickle accelerator).
constexpr const char* kModuleKey = "kelto._pickle";

/// kelto._pickle.restore, which every reduce value names. Kept for the life
/// of the process, like the module itself.
PyObject* restore_function = nullptr;

bool is_constraint_class(PyTypeObject* type) {
    return std::ranges::any_of(constraint::kClassOfKind,
                               [type](boundary::ClassObject* cls) { return cls->get() == type; });
}

/// The packed form of a CmpType: a member packs as one, so that it comes
/// back as itself; an equal object read from a Cmp comes back as a new one.
Result<std::string> pack_cmp_type(Borrowed obj) {
    auto op = boundary::read_payload<constraint::CmpType>(obj, [](const constraint::CmpType& held) { return held; });
    if (!op) return boundary::kFailed;
    auto member = constraint::cmp_type_member(*op);
    if (!member) return boundary::kFailed;
    return pack(PackedCmpType{*op, member->get() == obj.get()});
}

/// The packed form of any object of the module's classes. Reading takes the
/// shared borrow. A constraint is packed from its nodes, which never change
/// once built, so an IfThen packs on any thread: copying or pickling one is
/// how it reaches another thread (the copy belongs to the thread that
/// restores it), and a process pool pickles on a thread of its own.
Result<std::string> pack_object(Borrowed obj) {
    PyTypeObject* type = Py_TYPE(obj.get());
    const auto packer = [](const auto& held) { return pack(held); };
    if (is_constraint_class(type)) {
        // A leaf still kept in its object moves into a node to be packed,
        // as it would to be shared.
        return boundary::read_payload_on_any_thread<constraint::Holder>(obj, [](const constraint::Holder& held) {
            return pack(held.node());
        });
    }
    if (type == version::version_class.get()) return boundary::read_payload<version::Version>(obj, packer);
    if (type == outline::package_outline_class.get())
        return boundary::read_payload<outline::PackageOutline>(obj, packer);
    if (type == constraint::cmp_type_class.get()) return pack_cmp_type(obj);
    return boundary::raise(PyExc_TypeError, std::format("'{}' object is not a kelto object", type->tp_name));
}

/// The reducer copyreg calls: (restore, (packed form,)).
Result<Owned> reduce(Borrowed obj) {
    auto packed = pack_object(obj);
    if (!packed) return boundary::kFailed;
    auto data = boundary::checked(PyBytes_FromStringAndSize(packed->data(), static_cast<Py_ssize_t>(packed->size())));
    if (!data) return boundary::kFailed;
    return boundary::reduce_value(restore_function, *std::move(data));
}

/// A new object from its packed form. A constraint comes back as an object
/// of its kind's class (an IfThen owned by the calling thread), a member of
/// CmpType as that member.
Result<Owned> restore(boundary::Bytes data) {
    auto unpacked = unpack(data.data);
    if (!unpacked)
        return boundary::raise(PyExc_ValueError, std::format("not a packed kelto object: {} at byte {}",
                                                             unpacked.error().reason, unpacked.error().offset));
    return std::visit(
        [](auto&& value) -> Result<Owned> {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, constraint::Constraint>) {
                return constraint::constraint_to_py(std::move(value));
            } else if constexpr (std::is_same_v<T, version::Version>) {
                return boundary::new_instance(version::version_class.get(), std::move(value));
            } else if constexpr (std::is_same_v<T, outline::PackageOutline>) {
                return boundary::new_instance(outline::package_outline_class.get(), std::move(value));
            } else {
                return value.member ? constraint::cmp_type_member(value.op) : constraint::cmp_type_to_py(value.op);
            }
        },
        *std::move(unpacked));
}

constexpr boundary::Param kRestoreParams[] = {{.name = "data", .annotation = "bytes"}};
constexpr boundary::Signature kRestore{
    .name = "restore", .params = kRestoreParams, .required = 1, .positional_only = true, .returns = "typing.Any"};
constexpr boundary::Param kReduceParams[] = {{.name = "obj"}};
constexpr boundary::Signature kReduce{
    .name = "reduce", .params = kReduceParams, .required = 1, .positional_only = true, .returns = "tuple"};

using Restore = boundary::UnaryFunction<kRestore, &restore, "The kelto object whose packed form is data.">;
using Reduce = boundary::UnaryFunction<kReduce, &reduce, "The reduce value of a kelto object, for copyreg.">;

/// Every class whose instances copy and pickle.
Result<void> register_reducers(Borrowed reducer) {
    auto each = [&](boundary::ClassObject& cls) { return boundary::register_reducer(cls.get(), reducer); };
    for (boundary::ClassObject* cls : constraint::kClassOfKind)
        if (auto r = each(*cls); !r) return boundary::kFailed;
    for (boundary::ClassObject* cls :
         {&constraint::cmp_type_class, &version::version_class, &outline::package_outline_class})
        if (auto r = each(*cls); !r) return boundary::kFailed;
    return {};
}

}  // namespace

Result<void> add_copy_support() {
    auto module = boundary::create_module(kModuleKey);
    if (!module) return boundary::kFailed;
    if (auto r = boundary::add_function(*module, Restore::def); !r) return boundary::kFailed;
    if (auto r = boundary::add_function(*module, Reduce::def); !r) return boundary::kFailed;
    auto restore_fn = boundary::checked(PyObject_GetAttrString(module->get(), "restore"));
    auto reduce_fn = boundary::checked(PyObject_GetAttrString(module->get(), "reduce"));
    if (!restore_fn || !reduce_fn) return boundary::kFailed;
    if (auto r = boundary::register_module(*module, kModuleKey); !r) return boundary::kFailed;
    // A module built again after a failed first attempt hands out its own function.
    Py_XDECREF(std::exchange(restore_function, restore_fn->release()));
    return register_reducers(*reduce_fn);
}

}  // namespace kelto::package::packed

#include "boundary/pickling.hpp"

namespace kelto::boundary {

Result<void> register_reducer(PyTypeObject* cls, Borrowed reducer) {
    auto copyreg = checked(PyImport_ImportModule("copyreg"));
    if (!copyreg) return kFailed;
    auto done = checked(PyObject_CallMethod(copyreg->get(), "pickle", "OO", reinterpret_cast<PyObject*>(cls),
                                            reducer.get()));
    if (!done) return kFailed;
    return {};
}

Result<Owned> reduce_value(Borrowed restore, Owned data) {
    auto args = checked(PyTuple_Pack(1, data.get()));
    if (!args) return kFailed;
    return checked(PyTuple_Pack(2, restore.get(), args->get()));
}

}  // namespace kelto::boundary

#include "boundary/refusal.hpp"

namespace kelto::boundary {

boundary::ErrorSet refuse_logged(const process::Callsite& site, PyObject* type,
                                 boundary::Result<boundary::Owned> message) {
    if (!message) return {};
    // A class or keyword name may hold a lone surrogate: the line shows it escaped.
    process::emit(site, [&] { return boundary::escaped_utf8(*message); });
    PyErr_SetObject(type, message->get());
    return {};
}

}  // namespace kelto::boundary

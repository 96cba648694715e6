#include "refusal.hpp"

namespace kelto {

boundary::ErrorSet refuse_logged(const logging::Callsite& site, PyObject* type,
                                 boundary::Result<boundary::Owned> message) {
    if (!message) return message.error();
    // A class or keyword name may hold a lone surrogate: the line shows it escaped.
    logging::emit(site, [&] { return boundary::escaped_utf8(*message); });
    PyErr_SetObject(type, message->get());
    return {};
}

}  // namespace kelto

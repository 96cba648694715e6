#include "refusal.hpp"

namespace kelto {

boundary::ErrorSet refuse_logged(const logging::Callsite& site, PyObject* type, boundary::Owned message) {
    if (!message) return boundary::fetch_error();
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size);
    if (utf8 == nullptr) return boundary::fetch_error();
    logging::emit(site, [&] { return std::string_view(utf8, static_cast<std::size_t>(size)); });
    PyErr_SetObject(type, message.get());
    return {};
}

}  // namespace kelto

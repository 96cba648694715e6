// A refused input that is also reported as an ERROR event: the event carries
// exactly the exception's message, and goes out (when logging is on) even if
// the caller later drops the exception.
#pragma once

#include "boundary/errors.hpp"
#include "process/logging.hpp"

namespace kelto::boundary {

/// Emits `site` with the text of `message`, then raises `type(message)`.
/// `message` is a new str, or the error of making it.
[[gnu::cold]] boundary::ErrorSet refuse_logged(const process::Callsite& site, PyObject* type,
                                               boundary::Result<boundary::Owned> message);

}  // namespace kelto::boundary

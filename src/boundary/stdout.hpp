// The process's own standard output (file descriptor 1), shared by the banner
// and the log lines. It bypasses Python's sys.stdout on purpose.
#pragma once

#include <string_view>

namespace kelto::boundary {

/// Writes `bytes` whole to file descriptor 1 while holding the process-wide
/// standard-output lock, so lines from different threads never interleave.
/// Returns 0 on success or the errno of the failed write. A process without
/// a standard output (descriptor 1 closed) counts as success.
[[nodiscard]] int write_stdout(std::string_view bytes) noexcept;

/// Writes `bytes` to file descriptor 2, best effort.
void write_stderr(std::string_view bytes) noexcept;

}  // namespace kelto::boundary

// Diagnostic events. Until init_tracing() installs the one process-wide
// subscriber, an event costs one atomic load at its call site; afterwards
// INFO, WARN and ERROR events are written as single lines to the process's
// standard output:  " WARN kelto: tracing activated".
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

namespace kelto::process {

/// Severity; a larger value is more verbose.
enum class Level : std::uint8_t { Error = 1, Warn, Info, Debug, Trace };

/// One place in the code that emits events. Every event has exactly one
/// field, its message.
struct Callsite {
    Level level;
    std::string_view target;  ///< "kelto::package::outline"
};

/// The most verbose level any subscriber wants; 0 (off) until init_tracing().
inline std::atomic<std::uint8_t> max_level{0};

[[nodiscard]] inline bool enabled(const Callsite& site) noexcept {
    return static_cast<std::uint8_t>(site.level) <= max_level.load(std::memory_order_relaxed);
}

/// Delivers an event that passed `enabled`. Never fails and never raises: a
/// failed write is reported on standard error and the event is lost.
void deliver(const Callsite& site, std::string_view message) noexcept;

/// Emits an event; `make_message()` runs only when the event is enabled.
template <class MakeMessage>
void emit(const Callsite& site, MakeMessage&& make_message) noexcept {
    if (!enabled(site)) [[likely]] return;
    deliver(site, make_message());
}

/// Why installing the subscriber can fail: one has been installed before.
enum class InstallResult : std::uint8_t { Installed, AlreadySet };

/// Installs the subscriber (colour unless NO_COLOR is set to a non-empty,
/// valid UTF-8 value) and raises the level filter to INFO.
[[nodiscard]] InstallResult install_subscriber() noexcept;

}  // namespace kelto::process

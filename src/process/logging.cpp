#include "process/logging.hpp"

#include "process/stdout.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace kelto::process {
namespace {

enum class SubscriberState : std::uint8_t { Uninitialised, Initialising, Initialised };

std::atomic<SubscriberState> state{SubscriberState::Uninitialised};
bool colour = true;  // written once, before `state` becomes Initialised

/// The level word is always five characters wide.
std::string_view level_word(Level level) noexcept {
    switch (level) {
        case Level::Trace: return "TRACE";
        case Level::Debug: return "DEBUG";
        case Level::Info: return " INFO";
        case Level::Warn: return " WARN";
        case Level::Error: return "ERROR";
    }
    return "?????";
}

std::string_view level_colour(Level level) noexcept {
    switch (level) {
        case Level::Trace: return "\x1b[35m";
        case Level::Debug: return "\x1b[34m";
        case Level::Info: return "\x1b[32m";
        case Level::Warn: return "\x1b[33m";
        case Level::Error: return "\x1b[31m";
    }
    return "";
}

constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

/// Valid UTF-8, checked by hand: the environment holds raw bytes.
bool valid_utf8(std::string_view bytes) noexcept {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t min = 0;
        if (lead < 0x80) { ++i; continue; }
        if ((lead & 0xe0) == 0xc0) { length = 2; min = 0x80; }
        else if ((lead & 0xf0) == 0xe0) { length = 3; min = 0x800; }
        else if ((lead & 0xf8) == 0xf0) { length = 4; min = 0x10000; }
        else return false;
        if (i + length > bytes.size()) return false;
        char32_t cp = lead & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto cont = static_cast<unsigned char>(bytes[i + k]);
            if ((cont & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cont & 0x3f);
        }
        if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += length;
    }
    return true;
}

/// Colour is off only when NO_COLOR is present, valid UTF-8 and not empty.
bool colour_wanted() noexcept {
    const char* value = std::getenv("NO_COLOR");
    if (value == nullptr) return true;
    const std::string_view text{value};
    return text.empty() || !valid_utf8(text);
}

void format_line(std::string& line, const Callsite& site, std::string_view message) {
    const std::string_view word = level_word(site.level);
    if (colour) {
        line.append(level_colour(site.level)).append(word).append(kReset).append(" ");
        line.append(kDim).append(site.target).append(kReset);
        line.append(kDim).append(":").append(kReset).append(" ");
    } else {
        line.append(word).append(" ").append(site.target).append(": ");
    }
    line.append(message).append("\n");
}

}  // namespace

void deliver(const Callsite& site, std::string_view message) noexcept {
    if (state.load(std::memory_order_acquire) != SubscriberState::Initialised) return;
    // Reused per thread: once grown, formatting a line allocates nothing.
    thread_local std::string line;
    line.clear();
    // Called on error paths that must not gain a failure of their own: a line
    // that cannot be formatted (beyond std::string's length limit) is dropped,
    // best effort like every log line, rather than ending the process.
    try {
        format_line(line, site, message);
    } catch (...) {
        return;
    }
    // An interrupted write ends the call with the signal handler's exception.
    if (const int error = process::write_stdout(line); error != 0 && error != EINTR) process::report_lost_line(error);
}

InstallResult install_subscriber() noexcept {
    const bool wanted = colour_wanted();
    auto expected = SubscriberState::Uninitialised;
    if (!state.compare_exchange_strong(expected, SubscriberState::Initialising, std::memory_order_acq_rel))
        return InstallResult::AlreadySet;
    colour = wanted;
    state.store(SubscriberState::Initialised, std::memory_order_release);
    max_level.store(static_cast<std::uint8_t>(Level::Info), std::memory_order_relaxed);
    return InstallResult::Installed;
}

}  // namespace kelto::process

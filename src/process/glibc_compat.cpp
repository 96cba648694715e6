// Linked into the module only when libstdc++ is linked statically (the
// wheel). The static libstdc++ of the build machine was compiled against a
// recent glibc, and two of its objects call functions that older systems
// lack: eh_alloc.o reads its tunables with strtoul, which recent headers
// rename to the C23 variant (glibc 2.38), and random.o, which comes along
// with the string instantiations, calls arc4random (glibc 2.36). Defined
// here with hidden visibility, these bind inside the module and the wheel
// loads on any glibc the rest of it allows.
//
// No C library header is included on purpose: <stdlib.h> would rename
// strtoul to __isoc23_strtoul and make the first function call itself.

#include <cstddef>
#include <cstdint>

extern "C" {

unsigned long strtoul(const char* text, char** end, int base) noexcept;
int getentropy(void* buffer, std::size_t length) noexcept;
[[noreturn]] void abort() noexcept;

// The C23 variant differs only in reading a "0b" prefix in base 0 and 2;
// its one caller here parses decimal numbers.
unsigned long __isoc23_strtoul(const char* text, char** end, int base) noexcept {
    return strtoul(text, end, base);
}

// getentropy (glibc 2.25) fails only for lengths over 256 bytes or when the
// kernel has no getrandom; arc4random has no way to report a failure.
std::uint32_t arc4random() noexcept {
    std::uint32_t value;
    if (getentropy(&value, sizeof value) != 0) abort();
    return value;
}

}

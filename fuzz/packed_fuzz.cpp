// Unpacks arbitrary bytes as a packed form (what a pickle hands back to
// kelto): anything but a clean refusal or a value is a finding, and so is a
// value that does not pack back to a form that reads again as itself. Leaks
// and bad frees show up under ASan/LSan.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "package/packed/packed.hpp"

namespace {

namespace packed = kelto::package::packed;

std::string repack(const packed::Unpacked& value) {
    return std::visit([](const auto& v) { return packed::pack(v); }, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto first = packed::unpack(bytes);
    if (!first) {
        if (first.error().offset > size) {
            std::fprintf(stderr, "packed_fuzz: a refusal past the end of the input\n");
            std::abort();
        }
        return 0;
    }
    // The packer's form is canonical: it reads back, and packs to itself.
    const std::string canonical = repack(*first);
    const auto second = packed::unpack(canonical);
    if (!second || second->index() != first->index() || repack(*second) != canonical) {
        std::fprintf(stderr, "packed_fuzz: a packed form that does not read back as itself\n");
        std::abort();
    }
    return 0;
}

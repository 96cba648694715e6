// Build step: writes the introspection records of kelto's Python surface as
// a C++ source of exported read-only arrays, and the same surface as one JSON
// document from which the type stubs are generated.
//
//   kelto_introspect RECORDS_CPP SURFACE_JSON
#include "boundary/introspection.hpp"
#include "surface.hpp"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kelto::boundary::class_records;
using kelto::boundary::function_record;
using kelto::boundary::module_record;

/// One exported array: a little-endian u32 length, then the JSON bytes.
void write_record(std::ofstream& out, std::size_t number, const std::string& json) {
    const auto length = static_cast<std::uint32_t>(json.size());
    out << "extern \"C\" KELTO_RECORD alignas(4) const unsigned char "
        << "PYO3_INTROSPECTION_1_" << number << "[] = {";
    for (int shift = 0; shift < 32; shift += 8) out << ((length >> shift) & 0xffU) << ",";
    for (const char c : json) out << static_cast<unsigned>(static_cast<unsigned char>(c)) << ",";
    out << "};\n";
}

// The records also describe the awaitable shell and the waiter release that
// the record format has for asynchronous methods, as tools reading them
// expect. kelto defines no asynchronous method, so neither is an attribute of
// the module, and the stubs leave them out.
using kelto::boundary::ClassSpec;
using kelto::boundary::MethodSpec;
using kelto::boundary::Param;
using kelto::boundary::PropertySpec;
using kelto::boundary::Signature;

constexpr Signature kAwait{.name = "__await__", .returns = "typing.Any"};
constexpr Signature kNext{.name = "__next__", .returns = "typing.Any"};
constexpr Signature kClose{.name = "close"};
constexpr Param kSendParams[] = {{.name = "_value"}};
constexpr Signature kSend{.name = "send", .params = kSendParams, .required = 1, .returns = "typing.Any"};
constexpr Param kThrowParams[] = {{.name = "exc"}};
constexpr Signature kThrow{.name = "throw", .params = kThrowParams, .required = 1, .returns = "typing.Any"};
constexpr MethodSpec kCoroutineMethods[] = {
    {&kAwait, nullptr, nullptr}, {&kNext, nullptr, nullptr}, {&kClose, nullptr, nullptr},
    {&kSend, nullptr, nullptr},  {&kThrow, nullptr, nullptr},
};
constexpr PropertySpec kCoroutineProperties[] = {
    {.name = "__name__", .annotation = "typing.Any", .get = nullptr, .set = nullptr},
    {.name = "__qualname__", .annotation = "typing.Any", .get = nullptr, .set = nullptr},
};
constexpr ClassSpec kCoroutine{.name = "Coroutine",
                               .qualified_name = "kelto.Coroutine",
                               .doc = nullptr,
                               .basic_size = 0,
                               .dealloc = nullptr,
                               .methods = kCoroutineMethods,
                               .properties = kCoroutineProperties};
constexpr Param kReleaseWaiterParams[] = {{.name = "future"}};
constexpr Signature kReleaseWaiter{
    .name = "release_waiter", .params = kReleaseWaiterParams, .required = 1, .returns = "typing.Any"};

std::string json_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kelto_introspect RECORDS_CPP SURFACE_JSON\n");
        return 2;
    }
    using kelto::boundary::View;
    const auto& surface = kelto::module_surface();
    std::vector<std::string> records{module_record("kelto")};
    std::vector<std::string> functions;
    std::vector<std::string> stub_functions;
    for (const auto& function : surface.functions) {
        functions.push_back(function_record(*function.signature, "kelto"));
        stub_functions.push_back(function_record(*function.signature, "kelto", View::Stubs));
    }
    records.insert(records.end(), functions.begin(), functions.end());
    records.push_back(function_record(kReleaseWaiter, "kelto"));

    // Each class: its records, and its description for the stubs.
    std::vector<std::string> submodules;
    for (const auto& submodule : surface.submodules) {
        std::vector<std::string> classes;
        for (const auto* cls : submodule.classes) {
            const auto& spec = cls->spec();
            auto described = class_records(spec, submodule.key);
            records.insert(records.end(), described.begin(), described.end());
            const std::vector<std::string> members(described.begin() + 1, described.end());
            const auto stub = class_records(spec, submodule.key, View::Stubs);
            const std::vector<std::string> stub_members(stub.begin() + 1, stub.end());
            std::vector<std::string> attributes;
            for (const auto& attribute : spec.attributes) attributes.push_back(std::string("\"") + attribute.name + "\"");
            classes.push_back(std::string("{\"class\":") + described.front() + ",\"members\":" + json_list(members) +
                              ",\"stub_members\":" + json_list(stub_members) + ",\"compares_as\":\"" +
                              std::string(spec.stub_compares_as) + "\"" +
                              ",\"attributes\":" + json_list(attributes) + "}");
        }
        submodules.push_back(std::string("{\"key\":\"") + submodule.key + "\",\"classes\":" + json_list(classes) + "}");
    }
    const auto coroutine = class_records(kCoroutine, "kelto");
    records.insert(records.end(), coroutine.begin(), coroutine.end());

    std::ofstream out(argv[1]);
    out << "// Generated by kelto_introspect from the module's own class and function\n"
           "// descriptions. Do not edit.\n"
           "// AddressSanitizer would pad each array with a redzone and count it in the\n"
           "// symbol's size; the records must stay exactly length plus JSON.\n"
           "#if defined(__clang__)\n"
           "#define KELTO_RECORD [[gnu::used, gnu::visibility(\"default\"), clang::no_sanitize(\"address\")]]\n"
           "#else\n"
           "#define KELTO_RECORD [[gnu::used, gnu::visibility(\"default\")]]\n"
           "#endif\n";
    for (std::size_t i = 0; i < records.size(); ++i) write_record(out, i, records[i]);
    std::ofstream json(argv[2]);
    json << "{\"functions\":" << json_list(functions) << ",\"stub_functions\":" << json_list(stub_functions)
         << ",\"submodules\":" << json_list(submodules) << "}\n";
    return out && json ? 0 : 1;
}

#include "boundary/introspection.hpp"

#include <format>

namespace kelto::boundary {
namespace {

/// A JSON string; the texts described here are Python names and type
/// expressions, but escape what JSON requires anyway.
std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) out += std::format("\\u{:04x}", c);
                else out += c;
        }
    }
    return out + "\"";
}

/// One element of "args": name, annotation, and the default when optional.
std::string argument(std::string_view name, std::string_view annotation, std::string_view default_value = {}) {
    std::string out = std::format("{{\"name\":{},\"annotation\":{}", json_string(name), json_string(annotation));
    if (!default_value.empty()) out += std::format(",\"default\":{}", json_string(default_value));
    return out + "}";
}

struct Arguments {
    std::string_view receiver;  ///< "self", "cls", or empty for module functions
    std::vector<std::string> args;
    bool kwarg = false;

    [[nodiscard]] std::string json() const {
        std::vector<std::string> parts;
        if (!receiver.empty()) parts.push_back(std::format("\"posonlyargs\":[{{\"name\":{}}}]", json_string(receiver)));
        if (!args.empty()) {
            std::string list;
            for (const auto& a : args) list += (list.empty() ? "" : ",") + a;
            parts.push_back("\"args\":[" + list + "]");
        }
        if (kwarg) parts.push_back("\"kwarg\":{\"name\":\"kwargs\"}");
        std::string out = "{";
        for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "," : "") + parts[i];
        return out + "}";
    }
};

std::string member(std::string_view name, std::uint64_t parent, const Arguments& arguments,
                   std::string_view returns, std::string_view decorator = {}) {
    std::string out = std::format("{{\"type\":\"function\",\"name\":{},\"parent\":\"{}\",\"arguments\":{},\"returns\":{}",
                                  json_string(name), parent, arguments.json(), json_string(returns));
    if (!decorator.empty()) out += std::format(",\"decorators\":[{}]", json_string(decorator));
    return out + "}";
}

Arguments signature_arguments(const Signature& signature, std::string_view receiver) {
    Arguments arguments{receiver, {}, signature.extra_keywords};
    for (const Param& p : signature.params) arguments.args.push_back(argument(p.name, p.annotation, p.default_value));
    return arguments;
}

constexpr std::string_view kComparisons[] = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"};

}  // namespace

std::uint64_t introspection_id(std::string_view path) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return hash;
}

std::string module_record(std::string_view name) {
    return std::format("{{\"type\":\"module\",\"name\":{},\"id\":\"{}\",\"members\":[],\"incomplete\":true}}",
                       json_string(name), introspection_id(name));
}

std::string function_record(const Signature& signature, std::string_view module) {
    return std::format("{{\"type\":\"function\",\"name\":{},\"id\":\"{}\",\"arguments\":{},\"returns\":{}}}",
                       json_string(signature.name), introspection_id(std::format("{}.{}", module, signature.name)),
                       signature_arguments(signature, {}).json(), json_string(signature.returns));
}

std::vector<std::string> class_records(const ClassSpec& spec, std::string_view module) {
    const std::uint64_t id = introspection_id(std::format("{}.{}", module, spec.name));
    std::vector<std::string> records;
    records.push_back(std::format("{{\"type\":\"class\",\"name\":{},\"id\":\"{}\"}}", json_string(spec.name), id));
    if (const Signature* ctor = spec.constructor.signature)
        records.push_back(member("__new__", id, signature_arguments(*ctor, "cls"), ctor->returns));
    for (const MethodSpec& m : spec.methods)
        records.push_back(member(m.signature->name, id, signature_arguments(*m.signature, "self"), m.signature->returns));
    for (const PropertySpec& p : spec.properties) {
        records.push_back(member(p.name, id, {"self", {}, false}, p.annotation, "property"));
        if (p.set != nullptr)
            records.push_back(member(p.name, id, {"self", {argument("value", p.annotation)}, false}, "None",
                                     std::format("{}.setter", p.name)));
    }
    if (spec.repr != nullptr) records.push_back(member("__repr__", id, {"self", {}, false}, "str"));
    if (spec.str != nullptr) records.push_back(member("__str__", id, {"self", {}, false}, "str"));
    if (spec.to_int != nullptr) records.push_back(member("__int__", id, {"self", {}, false}, "int"));
    if (spec.richcompare != nullptr)
        for (std::string_view name : kComparisons)
            records.push_back(member(name, id, {"self", {argument("rhs", "typing.Any")}, false}, "typing.Any"));
    return records;
}

}  // namespace kelto::boundary

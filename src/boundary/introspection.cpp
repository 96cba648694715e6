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

std::string_view either(std::string_view stub, std::string_view declared, View view) {
    return view == View::Stubs && !stub.empty() ? stub : declared;
}

/// The stub view adds "alternative" to a parameter that has one: the type it
/// accepts in a second overload of the signature.
Arguments signature_arguments(const Signature& signature, std::string_view receiver, View view) {
    Arguments arguments{receiver, {}, signature.extra_keywords && view == View::Records};
    for (const Param& p : signature.params) {
        std::string arg = argument(p.name, either(p.stub_annotation, p.annotation, view), p.default_value);
        if (view == View::Stubs && !p.stub_alternative.empty())
            arg.insert(arg.size() - 1, std::format(",\"alternative\":{}", json_string(p.stub_alternative)));
        arguments.args.push_back(std::move(arg));
    }
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

std::string function_record(const Signature& signature, std::string_view module, View view) {
    return std::format("{{\"type\":\"function\",\"name\":{},\"id\":\"{}\",\"arguments\":{},\"returns\":{}}}",
                       json_string(signature.name), introspection_id(std::format("{}.{}", module, signature.name)),
                       signature_arguments(signature, {}, view).json(),
                       json_string(either(signature.stub_returns, signature.returns, view)));
}

std::vector<std::string> class_records(const ClassSpec& spec, std::string_view module, View view) {
    const bool stubs = view == View::Stubs;
    const std::uint64_t id = introspection_id(std::format("{}.{}", module, spec.name));
    std::vector<std::string> records;
    records.push_back(std::format("{{\"type\":\"class\",\"name\":{},\"id\":\"{}\"}}", json_string(spec.name), id));
    if (const Signature* ctor = spec.constructor.signature)
        records.push_back(member("__new__", id, signature_arguments(*ctor, "cls", view), ctor->returns));
    for (const MethodSpec& m : spec.methods)
        records.push_back(member(m.signature->name, id, signature_arguments(*m.signature, "self", view),
                                 either(m.signature->stub_returns, m.signature->returns, view)));
    for (const PropertySpec& p : spec.properties) {
        const std::string_view read = either(p.stub_annotation, p.annotation, view);
        records.push_back(member(p.name, id, {"self", {}, false}, read, "property"));
        if (p.set != nullptr)
            records.push_back(member(p.name, id, {"self", {argument("value", either(p.stub_setter, read, view))}, false},
                                     "None", std::format("{}.setter", p.name)));
    }
    if (spec.slot_records || stubs) {
        for (const UnarySlot& slot : kUnarySlots)
            if (spec.*slot.field != nullptr) records.push_back(member(slot.name, id, {"self", {}, false}, slot.returns));
    }
    // The stubs' comparisons come from tools/gen_stubs.py, which reads what
    // the class compares as (spec.stub_compares_as) beside these records.
    if (spec.richcompare == nullptr || stubs) return records;
    for (std::string_view name : kComparisons)
        records.push_back(member(name, id, {"self", {argument("rhs", "typing.Any")}, false}, "typing.Any"));
    return records;
}

}  // namespace kelto::boundary

// A package outline: everything a script states about one package.
#pragma once

#include "package/constraint/tree.hpp"
#include "spec/option_value.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace kelto::package {

/// Option values a package sets, by option name.
using OptionValues = std::unordered_map<std::string, spec::SpecOptionValue>;

/// Option defaults a package declares, by option name; an entry may hold no value.
using OptionDefaults = std::unordered_map<std::string, std::optional<spec::SpecOptionValue>>;

struct PackageOutline {
    std::string name;
    std::vector<constraint::Constraint> constraints;
    OptionValues set_options;
    OptionDefaults set_defaults;
};

}  // namespace kelto::package

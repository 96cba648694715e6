// A package outline: everything a script states about one package.
#pragma once

#include "package/constraint/tree.hpp"
#include "package/outline/option_map.hpp"
#include "package/text.hpp"
#include "package/option/option_value.hpp"

#include <optional>
#include <string>
#include <vector>

namespace kelto::package::outline {

/// Option values a package sets, by option name.
using OptionValues = OptionMap<option::SpecOptionValue>;

/// Option defaults a package declares, by option name; an entry may hold no value.
using OptionDefaults = OptionMap<std::optional<option::SpecOptionValue>>;

struct PackageOutline {
    Text name;
    std::vector<constraint::Constraint> constraints;
    OptionValues set_options;
    OptionDefaults set_defaults;
};

}  // namespace kelto::package::outline

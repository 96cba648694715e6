// The option values or defaults of an outline, by option name, in the order
// the dictionary gave them. Nothing reads them back by name, so there is no
// index and no search: a dict's keys are distinct already (two keys of one
// text, which only a str subclass with its own __eq__ makes, both stay).
#pragma once

#include "package/text.hpp"

#include <cstddef>
#include <utility>
#include <vector>

namespace kelto::package::outline {

template <class Value>
class OptionMap {
public:
    using Entry = std::pair<Text, Value>;

    void reserve(std::size_t count) { entries_.reserve(count); }
    void append(Text name, Value value) { entries_.emplace_back(std::move(name), std::move(value)); }

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] auto begin() const noexcept { return entries_.begin(); }
    [[nodiscard]] auto end() const noexcept { return entries_.end(); }

private:
    std::vector<Entry> entries_;
};

}  // namespace kelto::package::outline

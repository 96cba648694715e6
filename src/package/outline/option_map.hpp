// A map from option name to value where a later entry replaces an earlier
// one of the same name. Its entries sit in one array, in insertion order; a
// hash index over them is built only once the map outgrows a linear scan, so
// the usual handful of options costs one allocation, and a hundred thousand
// still insert in linear time.
#pragma once

#include "package/text.hpp"

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace kelto::package {

template <class Value>
class OptionMap {
public:
    using Entry = std::pair<Text, Value>;

    void reserve(std::size_t count) { entries_.reserve(count); }

    /// Adds `name` = `value`, or replaces the value an earlier entry holds.
    void insert_or_assign(Text name, Value value) {
        if (const std::size_t at = position_of(name); at != kAbsent) {
            entries_[at].second = std::move(value);
            return;
        }
        entries_.emplace_back(std::move(name), std::move(value));
        if (!slots_.empty() || entries_.size() > kLinearLimit) index(entries_.size() - 1);
    }

    [[nodiscard]] const Value* get(std::string_view name) const {
        const std::size_t at = position_of(name);
        return at != kAbsent ? &entries_[at].second : nullptr;
    }

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] auto begin() const noexcept { return entries_.begin(); }
    [[nodiscard]] auto end() const noexcept { return entries_.end(); }

private:
    static constexpr std::size_t kLinearLimit = 16;
    static constexpr std::uint32_t kEmpty = 0;  // slots hold entry index + 1

    [[nodiscard]] static std::size_t hash(std::string_view name) noexcept {
        return std::hash<std::string_view>{}(name);
    }

    static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

    [[nodiscard]] std::size_t position_of(std::string_view name) const {
        if (slots_.empty()) {
            for (std::size_t i = 0; i < entries_.size(); ++i)
                if (entries_[i].first == name) return i;
            return kAbsent;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash(name) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == kEmpty) return kAbsent;
            if (entries_[slots_[i] - 1].first == name) return slots_[i] - 1;
        }
    }

    /// Enters entries_[position] into the index, growing it to keep the load
    /// under one half (rebuilding from all entries when it grows).
    void index(std::size_t position) {
        if ((position + 1) * 2 > slots_.size()) {
            std::size_t capacity = 64;
            while (capacity < (position + 1) * 2) capacity *= 2;
            slots_.assign(capacity, kEmpty);
            for (std::size_t i = 0; i <= position; ++i) place(i);
            return;
        }
        place(position);
    }

    void place(std::size_t position) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = hash(entries_[position].first) & mask;
        while (slots_[i] != kEmpty) i = (i + 1) & mask;
        slots_[i] = static_cast<std::uint32_t>(position + 1);
    }

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;
};

}  // namespace kelto::package

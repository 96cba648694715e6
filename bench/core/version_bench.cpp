// parse_version and plain_text over a list of real version texts, one a line.
// KELTO_VERSIONS names another list; at most the first 20,000 lines are used.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/version/version.hpp"

namespace {

constexpr std::size_t kMaxLines = 20'000;

const std::vector<std::string>& version_texts() {
    static const std::vector<std::string> texts = [] {
        const char* path = std::getenv("KELTO_VERSIONS");
        if (path == nullptr || *path == '\0') path = KELTO_DEFAULT_VERSIONS;
        std::ifstream in{path};
        if (!in) throw std::runtime_error{std::string{"cannot read "} + path};
        std::vector<std::string> lines;
        for (std::string line; lines.size() < kMaxLines && std::getline(in, line);) lines.push_back(line);
        return lines;
    }();
    return texts;
}

// The list mixes accepted and refused texts, as real input does; both paths count.
void BM_parse_version(benchmark::State& state) {
    const auto& texts = version_texts();
    for (auto _ : state) {
        for (const std::string& text : texts) benchmark::DoNotOptimize(kelto::package::version::parse_version(text));
    }
    state.SetItemsProcessed(state.iterations() * std::ssize(texts));
}
BENCHMARK(BM_parse_version);

void BM_plain_text(benchmark::State& state) {
    std::vector<kelto::package::version::Version> versions;
    for (const std::string& text : version_texts()) {
        if (auto parsed = kelto::package::version::parse_version(text)) versions.push_back(*std::move(parsed));
    }
    for (auto _ : state) {
        for (const auto& version : versions) benchmark::DoNotOptimize(kelto::package::version::plain_text(version));
    }
    state.SetItemsProcessed(state.iterations() * std::ssize(versions));
}
BENCHMARK(BM_plain_text);

}  // namespace

// `quarlin frame FORMAT FILE [--at OFFSET]`: measures one file or stream of FORMAT starting at
// OFFSET in FILE and prints what was found as one JSON object.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string_view>

namespace quarlin::cli {

// One measurable format. `measure` walks the bytes from the offset and returns the findings,
// "length" (bytes occupied from the offset) among them, or nothing when the format's start is
// not at the offset. `missing` completes the sentence "no ... at offset N".
struct FrameFormat {
    std::string_view name;
    std::string_view missing;
    std::optional<nlohmann::ordered_json> (*measure)(std::span<const std::byte> bytes,
                                                     std::int64_t at);
};

// Every format the command knows, in the order its help lists them (FrameFormats.cpp).
std::span<const FrameFormat> frameFormats();

// Adds the subcommand to `app`; when it runs, it stores its exit status in `status`:
// 0 found, 1 not found at the offset, 2 file not readable.
void addFrameCommand(CLI::App& app, int& status);

}  // namespace quarlin::cli

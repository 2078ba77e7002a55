#include "cli/FrameCommand.h"

#include <charconv>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/MappedFile.h"

namespace quarlin::cli {
namespace {

struct FrameOptions {
    std::string format;
    std::string file;
    std::string atText = "0";
    std::int64_t at = 0;
};

// A decimal byte offset that fits in 64 bits; the stock integer conversion would quietly clamp
// one that does not.
std::optional<std::int64_t> parseOffset(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

int runFrame(const FrameOptions& options) {
    const FrameFormat* format = nullptr;
    for (const auto& f : frameFormats())
        if (f.name == options.format) format = &f;
    const auto mapped = MappedFile::open(options.file);
    if (!mapped) {
        std::cerr << "quarlin frame: " << mapped.error() << "\n";
        return 2;
    }
    auto findings = format->measure(mapped->bytes(), options.at);
    if (!findings) {
        std::cerr << "quarlin frame: no " << format->missing << " at offset " << options.at
                  << " in " << options.file << "\n";
        return 1;
    }
    nlohmann::ordered_json out;
    out["format"] = format->name;
    out["offset"] = options.at;
    out["length"] = (*findings)["length"];
    for (const auto& [key, value] : findings->items())
        if (key != "length") out[key] = value;
    std::cout << out.dump() << "\n";
    return 0;
}

}  // namespace

void addFrameCommand(CLI::App& app, int& status) {
    auto options = std::make_shared<FrameOptions>();
    std::vector<std::string> names;
    for (const auto& f : frameFormats()) names.emplace_back(f.name);

    CLI::App* frame = app.add_subcommand(
        "frame",
        "Measure the file or stream of FORMAT that starts at OFFSET in FILE and print it as JSON");
    frame->add_option("FORMAT", options->format, "Format to measure")
        ->required()
        ->check(CLI::IsMember(names));
    frame->add_option("FILE", options->file, "File or device to read")->required();
    frame
        ->add_option("--at", options->atText,
                     "Byte offset where the format starts, in decimal (default 0)")
        ->check(CLI::Validator(
            [](std::string& text) {
                return parseOffset(text)
                           ? std::string()
                           : "not a byte offset from 0 to 9223372036854775807: " + text;
            },
            "OFFSET"));
    frame->callback([options, &status] {
        options->at = *parseOffset(options->atText);
        status = runFrame(*options);
    });
}

}  // namespace quarlin::cli

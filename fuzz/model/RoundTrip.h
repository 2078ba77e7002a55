// The property every record decoder is fuzzed for: arbitrary bytes either fail to parse or
// decode with the JSON layer's own error, never crash; and whatever decodes writes a form
// that decodes back to an equal value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace quarlin::fuzzing {

template <class T>
int decodeAndRoundTrip(const std::uint8_t* data, std::size_t size) {
    const auto document = nlohmann::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded()) return 0;
    try {
        const T value = document.get<T>();
        const T again = nlohmann::json::parse(nlohmann::json(value).dump()).get<T>();
        if (!(again == value)) std::abort();
    } catch (const nlohmann::json::exception&) {
        // Refused input: the expected outcome for most documents.
    }
    return 0;
}

}  // namespace quarlin::fuzzing

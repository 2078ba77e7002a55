// Decoding helpers for the record tests: the JSON layer's message for a document that must
// not decode, and the text a value writes in key order.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quarlin::testing {

// The error message of decoding `text` as T, or "decoded" when it decodes.
template <class T>
std::string decodingError(std::string_view text) {
    try {
        (void)nlohmann::json::parse(text).get<T>();
    } catch (const nlohmann::json::exception& error) {
        return error.what();
    }
    return "decoded";
}

template <class T>
T decoded(std::string_view text) {
    return nlohmann::json::parse(text).get<T>();
}

// Written with keys in the order the record writes them.
template <class T>
std::string orderedText(const T& value) {
    return nlohmann::ordered_json(value).dump();
}

// Written, dumped to text and parsed: what is read back equals the value and hashes alike.
template <class T>
void expectRoundTrip(const T& value) {
    const T back = nlohmann::json::parse(nlohmann::json(value).dump()).get<T>();
    EXPECT_EQ(back, value);
    EXPECT_EQ(std::hash<T>{}(back), std::hash<T>{}(value));
}

}  // namespace quarlin::testing

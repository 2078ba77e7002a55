// Decoding helpers for the record tests: the JSON layer's message for a document that must
// not decode, and the text a value writes in key order.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
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

// Written, dumped to text, parsed and read back.
template <class T>
T roundTripped(const T& value) {
    return nlohmann::json::parse(nlohmann::json(value).dump()).get<T>();
}

// Values that must all differ: each equals itself only, and no two hash alike (a hash that
// leaves a field out shows as a collision).
template <class T>
void expectAllDistinct(const std::vector<T>& values) {
    std::unordered_set<std::size_t> hashes;
    for (std::size_t i = 0; i < values.size(); ++i) {
        hashes.insert(std::hash<T>{}(values[i]));
        for (std::size_t k = 0; k < values.size(); ++k) EXPECT_EQ(values[i] == values[k], i == k) << i << " vs " << k;
    }
    EXPECT_EQ(hashes.size(), values.size());
}

}  // namespace quarlin::testing

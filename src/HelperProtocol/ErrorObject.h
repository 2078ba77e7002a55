// An error as it crosses the helper's boundary: a domain, a numeric code and a user-info
// table whose one entry is the localized description.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace quarlin {

inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

struct ErrorObject {
    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, std::string> userInfo;

    std::string localizedDescription() const {
        auto it = userInfo.find(kLocalizedDescriptionKey);
        return it == userInfo.end() ? std::string() : it->second;
    }

    friend bool operator==(const ErrorObject&, const ErrorObject&) = default;
};

}  // namespace quarlin

// The helper's bundle information list, compiled in: identifier, name, version and the
// rest of its metadata. `ping` replies with the "CFBundleShortVersionString" entry.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quarlin {

struct HelperInformationList {
    static const std::map<std::string, std::string, std::less<>>& entries();
    static std::optional<std::string> value(std::string_view key);
};

}  // namespace quarlin

#include "HelperProtocol/HelperInformationList.h"

namespace quarlin {

const std::map<std::string, std::string, std::less<>>& HelperInformationList::entries() {
    static const std::map<std::string, std::string, std::less<>> list{
        {"CFBundleIdentifier", "dev.vembrow.quarlin.helper"},
        {"CFBundleName", "QuarlinHelper"},
        {"CFBundlePackageType", "APPL"},
        {"CFBundleShortVersionString", "1.0.0"},
        {"CFBundleVersion", "1"},
        {"LSMinimumSystemVersion", "14.0"},
    };
    return list;
}

std::optional<std::string> HelperInformationList::value(std::string_view key) {
    const auto& list = entries();
    auto it = list.find(key);
    if (it == list.end()) return std::nullopt;
    return it->second;
}

}  // namespace quarlin

// Identifiers that the helper and its client application share.
#pragma once

#include <string_view>

namespace quarlin {

struct QuarlinHelperConstants {
    static constexpr std::string_view helperLabel = "dev.vembrow.quarlin.helper";
    static constexpr std::string_view machServiceName = "dev.vembrow.quarlin.helper";
    static constexpr std::string_view plistName = "dev.vembrow.quarlin.helper.plist";
    static constexpr std::string_view appBundleIdentifier = "dev.vembrow.quarlin";
    static constexpr std::string_view helperBundleIdentifier = "dev.vembrow.quarlin.helper";
    // Root and the members of this system group may connect to the helper's socket.
    static constexpr std::string_view clientGroupName = "quarlin";
    // The folder of the helper's socket, made by the service manager (or the helper) for it.
    static constexpr std::string_view runDirectory = "/run/quarlin";
};

}  // namespace quarlin

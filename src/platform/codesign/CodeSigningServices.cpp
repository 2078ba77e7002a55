#include "platform/codesign/CodeSigningServices.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <string>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/PeerCode.h"

namespace quarlin::platform {

OSStatus SystemCodeSigningServices::copySelf(std::uint32_t, std::unique_ptr<SecCode>& code) {
    code = std::make_unique<SecCode>(SecCode{selfExecutable_});
    return errSecSuccess;
}

OSStatus SystemCodeSigningServices::copyStaticCode(const SecCode& code, std::uint32_t,
                                                   std::unique_ptr<SecStaticCode>& staticCode) {
    if (::access(code.executablePath.c_str(), R_OK) != 0) return errSecCSStaticCodeNotFound;
    staticCode = std::make_unique<SecStaticCode>(SecStaticCode{code.executablePath});
    return errSecSuccess;
}

namespace {

std::optional<std::string> stampOf(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return fileStamp(st);
}

// The signing information of the last file read, by its identity: the helper asks for its
// own on every connection, and its executable seldom changes.
std::mutex lastMutex;
std::string lastPath, lastStamp;
std::optional<SigningInformation> lastInformation;

}  // namespace

OSStatus SystemCodeSigningServices::copySigningInformation(
    const SecStaticCode& staticCode, std::uint32_t flags,
    std::unique_ptr<SigningInformationDictionary>& information) {
    std::optional<SigningInformation> info;
    const auto before = stampOf(staticCode.path);
    bool known = false;
    if (before) {
        std::lock_guard lock(lastMutex);
        known = lastPath == staticCode.path && lastStamp == *before;
        if (known) info = lastInformation;
    }
    if (!known) {
        auto bytes = readWholeFile(staticCode.path);
        if (!bytes) return before ? errSecIO : errSecCSStaticCodeNotFound;
        info = readSigningInformation(*bytes);
        // Kept only when the file did not change while it was read.
        if (const auto after = stampOf(staticCode.path); before && after == before) {
            std::lock_guard lock(lastMutex);
            lastPath = staticCode.path;
            lastStamp = *before;
            lastInformation = info;
        }
    }
    auto dictionary = std::make_unique<SigningInformationDictionary>();
    // An unsigned file has an information dictionary too, just without signing entries.
    if ((flags & kSecCSSigningInformation) && info) {
        (*dictionary)[kSecCodeInfoIdentifier] = info->identifier;
        if (info->teamIdentifier) (*dictionary)[kSecCodeInfoTeamIdentifier] = *info->teamIdentifier;
    }
    information = std::move(dictionary);
    return errSecSuccess;
}

CodeSigningServices& systemCodeSigningServices() {
    static SystemCodeSigningServices services;
    return services;
}

}  // namespace quarlin::platform

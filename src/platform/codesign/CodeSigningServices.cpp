#include "platform/codesign/CodeSigningServices.h"

#include <unistd.h>

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

OSStatus SystemCodeSigningServices::copySigningInformation(
    const SecStaticCode& staticCode, std::uint32_t flags,
    std::unique_ptr<SigningInformationDictionary>& information) {
    auto bytes = readWholeFile(staticCode.path);
    if (!bytes) return errSecCSStaticCodeNotFound;
    auto dictionary = std::make_unique<SigningInformationDictionary>();
    // An unsigned file has an information dictionary too, just without signing entries.
    if (flags & kSecCSSigningInformation) {
        if (auto info = readSigningInformation(*bytes)) {
            (*dictionary)[kSecCodeInfoIdentifier] = info->identifier;
            if (info->teamIdentifier) (*dictionary)[kSecCodeInfoTeamIdentifier] = *info->teamIdentifier;
        }
    }
    information = std::move(dictionary);
    return errSecSuccess;
}

CodeSigningServices& systemCodeSigningServices() {
    static SystemCodeSigningServices services;
    return services;
}

}  // namespace quarlin::platform

#include "HelperProtocol/XPCCodeSigningRequirement.h"

#include <memory>

namespace quarlin {
namespace {

using platform::CodeSigningServices;
using BuildError = XPCCodeSigningRequirement::BuildError;

XPCCodeSigningRequirement::Result build(CodeSigningServices& services, const std::string& bundleIdentifier) {
    std::unique_ptr<platform::SecCode> self;
    if (auto status = services.copySelf(0, self); status != platform::errSecSuccess || !self) {
        return std::unexpected(BuildError::cannotObtainSelfCode(status));
    }
    std::unique_ptr<platform::SecStaticCode> staticCode;
    if (auto status = services.copyStaticCode(*self, 0, staticCode);
        status != platform::errSecSuccess || !staticCode) {
        return std::unexpected(BuildError::cannotObtainSelfCode(status));
    }
    std::unique_ptr<platform::SigningInformationDictionary> information;
    if (auto status = services.copySigningInformation(*staticCode, platform::kSecCSSigningInformation, information);
        status != platform::errSecSuccess || !information) {
        return std::unexpected(BuildError::cannotReadSigningInfo(status));
    }
    auto entry = information->find(platform::kSecCodeInfoTeamIdentifier);
    if (entry == information->end()) return std::unexpected(BuildError::teamIdentifierUnavailable());
    const auto* team = std::get_if<std::string>(&entry->second);
    if (!team || team->empty()) return std::unexpected(BuildError::teamIdentifierUnavailable());

    return std::string("anchor apple generic ") + "and identifier \"" + bundleIdentifier + "\" " +
           "and certificate leaf[subject.OU] = \"" + *team + "\"";
}

}  // namespace

std::string XPCCodeSigningRequirement::BuildError::description() const {
    struct Describe {
        std::string operator()(const CannotObtainSelfCode& e) const {
            return "SecCodeCopySelf failed (OSStatus " + std::to_string(e.status) + "). Cannot derive Team ID.";
        }
        std::string operator()(const CannotReadSigningInfo& e) const {
            return "SecCodeCopySigningInformation failed (OSStatus " + std::to_string(e.status) +
                   "). Cannot derive Team ID.";
        }
        std::string operator()(const InvalidRequirementString& e) const {
            return "SecRequirementCreateWithString failed (OSStatus " + std::to_string(e.status) +
                   "). XPC connection refused (fail-closed).";
        }
        std::string operator()(const TeamIdentifierUnavailable&) const {
            return "kSecCodeInfoTeamIdentifier is absent \u2014 process appears to be unsigned or ad-hoc "
                   "signed. XPC connection refused (fail-closed).";
        }
    };
    return std::visit(Describe{}, value_);
}

XPCCodeSigningRequirement::Result XPCCodeSigningRequirement::requirementForApp() {
    return requirementForApp(platform::systemCodeSigningServices());
}
XPCCodeSigningRequirement::Result XPCCodeSigningRequirement::requirementForApp(CodeSigningServices& services) {
    return build(services, "dev.vembrow.quarlin");
}
XPCCodeSigningRequirement::Result XPCCodeSigningRequirement::requirementForHelper() {
    return requirementForHelper(platform::systemCodeSigningServices());
}
XPCCodeSigningRequirement::Result XPCCodeSigningRequirement::requirementForHelper(
    CodeSigningServices& services) {
    return build(services, "dev.vembrow.quarlin.helper");
}

}  // namespace quarlin

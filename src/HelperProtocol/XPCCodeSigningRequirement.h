// Builds, from the running helper's own signature, the code requirement a peer must meet:
// anchored, under a fixed identifier, signed by the helper's own team. Without a team
// identifier there is no requirement, and the caller refuses the connection.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "platform/codesign/CodeSigningServices.h"

namespace quarlin {

struct XPCCodeSigningRequirement {
    using OSStatus = platform::OSStatus;

    class BuildError {
    public:
        struct CannotObtainSelfCode { OSStatus status; };
        struct CannotReadSigningInfo { OSStatus status; };
        struct InvalidRequirementString { OSStatus status; };
        struct TeamIdentifierUnavailable {};
        using Case = std::variant<CannotObtainSelfCode, CannotReadSigningInfo, InvalidRequirementString,
                                  TeamIdentifierUnavailable>;

        static BuildError cannotObtainSelfCode(OSStatus status) { return BuildError(CannotObtainSelfCode{status}); }
        static BuildError cannotReadSigningInfo(OSStatus status) { return BuildError(CannotReadSigningInfo{status}); }
        static BuildError invalidRequirementString(OSStatus status) {
            return BuildError(InvalidRequirementString{status});
        }
        static BuildError teamIdentifierUnavailable() { return BuildError(TeamIdentifierUnavailable{}); }

        const Case& value() const { return value_; }
        std::string description() const;
        // The executable is there but could not be read: no sign that it is unsigned.
        bool isReadError() const {
            const auto* read = std::get_if<CannotReadSigningInfo>(&value_);
            return read && read->status == platform::errSecIO;
        }

    private:
        explicit BuildError(Case value) : value_(value) {}
        Case value_;
    };

    using Result = std::expected<std::string, BuildError>;

    // The requirement for the client application ("dev.vembrow.quarlin").
    static Result requirementForApp();
    static Result requirementForApp(platform::CodeSigningServices& services);
    // The requirement for the helper itself ("dev.vembrow.quarlin.helper").
    static Result requirementForHelper();
    static Result requirementForHelper(platform::CodeSigningServices& services);
};

}  // namespace quarlin

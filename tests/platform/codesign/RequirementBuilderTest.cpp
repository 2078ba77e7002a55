#include <gtest/gtest.h>

#include "HelperProtocol/XPCCodeSigningRequirement.h"

namespace quarlin {
namespace {

using namespace platform;

// Code-signing services whose every answer the test sets, counting live handles so that
// a leak or a double release shows.
class ScriptedCodeSigningDouble final : public CodeSigningServices {
public:
    OSStatus selfStatus = errSecSuccess;
    bool selfObject = true;
    OSStatus staticStatus = errSecSuccess;
    bool staticObject = true;
    OSStatus infoStatus = errSecSuccess;
    std::optional<SigningInformationDictionary> info = SigningInformationDictionary{};
    std::uint32_t infoFlags = 0;

    OSStatus copySelf(std::uint32_t, std::unique_ptr<SecCode>& code) override {
        if (selfObject) code = std::make_unique<SecCode>(SecCode{"/self"});
        return selfStatus;
    }
    OSStatus copyStaticCode(const SecCode&, std::uint32_t, std::unique_ptr<SecStaticCode>& staticCode) override {
        if (staticObject) staticCode = std::make_unique<SecStaticCode>(SecStaticCode{"/self"});
        return staticStatus;
    }
    OSStatus copySigningInformation(const SecStaticCode&, std::uint32_t flags,
                                    std::unique_ptr<SigningInformationDictionary>& out) override {
        infoFlags = flags;
        if (info) out = std::make_unique<SigningInformationDictionary>(*info);
        return infoStatus;
    }
};

TEST(XPCCodeSigningRequirementTest, BuildsTheRequirementFromTheTeamIdentifier) {
    ScriptedCodeSigningDouble services;
    services.info = SigningInformationDictionary{{kSecCodeInfoTeamIdentifier, std::string("A1B2C3D4E5")}};
    EXPECT_EQ(XPCCodeSigningRequirement::requirementForApp(services).value(),
              "anchor apple generic and identifier \"dev.vembrow.quarlin\" and certificate leaf[subject.OU] = "
              "\"A1B2C3D4E5\"");
    EXPECT_EQ(XPCCodeSigningRequirement::requirementForHelper(services).value(),
              "anchor apple generic and identifier \"dev.vembrow.quarlin.helper\" and certificate "
              "leaf[subject.OU] = \"A1B2C3D4E5\"");
    EXPECT_EQ(services.infoFlags, kSecCSSigningInformation);
}

TEST(XPCCodeSigningRequirementTest, EachFailingStepGivesItsError) {
    const std::string team = "kSecCodeInfoTeamIdentifier is absent \u2014 process appears to be unsigned or ad-hoc "
                             "signed. XPC connection refused (fail-closed).";
    struct Case {
        const char* name;
        std::function<void(ScriptedCodeSigningDouble&)> arrange;
        std::string description;
    };
    const Case cases[] = {
        {"self fails", [](auto& s) { s.selfStatus = -1; }, "SecCodeCopySelf failed (OSStatus -1). Cannot derive Team ID."},
        {"self without object", [](auto& s) { s.selfObject = false; },
         "SecCodeCopySelf failed (OSStatus 0). Cannot derive Team ID."},
        {"static code fails", [](auto& s) { s.staticStatus = -67068; },
         "SecCodeCopySelf failed (OSStatus -67068). Cannot derive Team ID."},
        {"static code without object", [](auto& s) { s.staticObject = false; },
         "SecCodeCopySelf failed (OSStatus 0). Cannot derive Team ID."},
        {"signing info fails", [](auto& s) { s.infoStatus = 100001; },
         "SecCodeCopySigningInformation failed (OSStatus 100001). Cannot derive Team ID."},
        {"signing info without dictionary", [](auto& s) { s.info.reset(); },
         "SecCodeCopySigningInformation failed (OSStatus 0). Cannot derive Team ID."},
        {"no team entry", [](auto&) {}, team},
        {"empty team", [](auto& s) { s.info = SigningInformationDictionary{{kSecCodeInfoTeamIdentifier, std::string()}}; },
         team},
        {"team is a number",
         [](auto& s) { s.info = SigningInformationDictionary{{kSecCodeInfoTeamIdentifier, std::int64_t{42}}}; }, team},
    };
    for (const auto& c : cases) {
        ScriptedCodeSigningDouble services;
        c.arrange(services);
        auto app = XPCCodeSigningRequirement::requirementForApp(services);
        auto helper = XPCCodeSigningRequirement::requirementForHelper(services);
        ASSERT_FALSE(app.has_value()) << c.name;
        ASSERT_FALSE(helper.has_value()) << c.name;
        EXPECT_EQ(app.error().description(), c.description) << c.name;
        EXPECT_EQ(helper.error().description(), c.description) << c.name;
    }
}

TEST(XPCCodeSigningRequirementTest, InvalidRequirementStringHasItsText) {
    EXPECT_EQ(XPCCodeSigningRequirement::BuildError::invalidRequirementString(-67052).description(),
              "SecRequirementCreateWithString failed (OSStatus -67052). XPC connection refused (fail-closed).");
}

}  // namespace
}  // namespace quarlin

#include <gtest/gtest.h>

#include <fcntl.h>

#include "HelperProtocol/XPCCodeSigningRequirement.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <fstream>

#include "TestSigning.h"
#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/CodeSigningServices.h"
#include "platform/codesign/PeerCode.h"
#include "platform/codesign/SignatureBlock.h"

namespace quarlin::platform {
namespace {

namespace fs = std::filesystem;
using testing::SigningIdentity;
using testing::TestCertificateAuthority;

const char* const kFullRequirement =
    "anchor apple generic and identifier \"dev.vembrow.quarlin\" and certificate leaf[subject.OU] = \"TEAMAAAAAA\"";

// One root with two teams, an unrelated root, and a program to sign.
class CodeSignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory = new fs::path(testing::makeTemporaryDirectory("codesign-test"));
        root = new TestCertificateAuthority(*directory, "trusted");
        stranger = new TestCertificateAuthority(*directory, "stranger");
        teamA = new SigningIdentity(root->issue("TEAMAAAAAA", "team-a"));
        teamB = new SigningIdentity(root->issue("TEAMBBBBBB", "team-b"));
        noTeam = new SigningIdentity(root->issue("", "no-team"));
        viaIntermediate = new SigningIdentity(root->issueThroughIntermediate("TEAMAAAAAA", "team-a-mid"));
        strangerTeamA = new SigningIdentity(stranger->issue("TEAMAAAAAA", "impostor"));
        program = new Data(*readWholeFile("/bin/true"));
    }
    static void TearDownTestSuite() { fs::remove_all(*directory); }

    static Data sign(const Data& code, const std::string& identifier, const SigningIdentity& who) {
        auto read = [](const std::string& path) {
            auto b = *readWholeFile(path);
            return std::string(reinterpret_cast<const char*>(b.data()), b.size());
        };
        auto result = signCode(code, identifier, read(who.certificatePath), read(who.keyPath),
                               who.chainPath.empty() ? "" : read(who.chainPath));
        EXPECT_TRUE(result.has_value()) << result.error();
        return result.value_or(Data{});
    }

    static std::expected<void, std::string> check(const Data& file, const std::string& requirement,
                                                  const std::string& anchors) {
        auto parsed = CodeRequirement::parse(requirement);
        EXPECT_TRUE(parsed.has_value()) << requirement;
        auto inMemory = evaluateRequirement(file, *parsed, AnchorStore(anchors));
        // The same judged from an open file, its block read first and its code in pieces.
        const fs::path path = *directory / "checked";
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        auto fromFile = evaluateRequirementOfFile(fd, "f", kMaxPeerExecutableSize, *parsed, AnchorStore(anchors));
        ::close(fd);
        EXPECT_EQ(fromFile.has_value() ? "" : fromFile.error(), inMemory.has_value() ? "" : inMemory.error());
        return inMemory;
    }

    static inline fs::path* directory;
    static inline TestCertificateAuthority* root;
    static inline TestCertificateAuthority* stranger;
    static inline SigningIdentity* teamA;
    static inline SigningIdentity* teamB;
    static inline SigningIdentity* noTeam;
    static inline SigningIdentity* viaIntermediate;
    static inline SigningIdentity* strangerTeamA;
    static inline Data* program;
};

TEST_F(CodeSignatureTest, EvaluatesTheRequirementAgainstEachKindOfSignature) {
    Data tampered = sign(*program, "dev.vembrow.quarlin", *teamA);
    tampered[tampered.size() / 3] ^= std::byte{0x01};
    Data tamperedDirectory = sign(*program, "dev.vembrow.quarlin", *teamA);
    // The identifier sits right after the code; changing it breaks the CMS signature.
    tamperedDirectory[program->size() + 12] ^= std::byte{0x20};

    struct Case {
        const char* name;
        Data file;
        bool accepted;
    };
    const Case cases[] = {
        {"signed by the team under the identifier", sign(*program, "dev.vembrow.quarlin", *teamA), true},
        {"signed through an intermediate", sign(*program, "dev.vembrow.quarlin", *viaIntermediate), true},
        {"unsigned", *program, false},
        {"another team", sign(*program, "dev.vembrow.quarlin", *teamB), false},
        {"a certificate without a team", sign(*program, "dev.vembrow.quarlin", *noTeam), false},
        {"another identifier", sign(*program, "dev.vembrow.quarlin.helper", *teamA), false},
        {"code changed after signing", tampered, false},
        {"signed identifier changed", tamperedDirectory, false},
        {"same team name under a root not in the store", sign(*program, "dev.vembrow.quarlin", *strangerTeamA), false},
    };
    for (const auto& c : cases) {
        auto verdict = check(c.file, kFullRequirement, root->anchorPath());
        EXPECT_EQ(verdict.has_value(), c.accepted) << c.name << (verdict ? "" : ": " + verdict.error());
    }
}

// Two roots of the same name in one store (development roots of two build trees, say): a
// signature chains to the one that signed it, whichever comes first in the store.
TEST_F(CodeSignatureTest, AChainFindsItsRootAmongRootsOfTheSameName) {
    const fs::path first = *directory / "twin-1", second = *directory / "twin-2";
    fs::create_directories(first);
    fs::create_directories(second);
    const TestCertificateAuthority one(first, "twin"), two(second, "twin");
    const Data signedByTwo = sign(*program, "dev.vembrow.quarlin", two.issue("TEAMAAAAAA", "team-a"));
    const std::string both = (*directory / "twins.pem").string();
    std::ofstream(both) << std::ifstream(one.anchorPath()).rdbuf() << std::ifstream(two.anchorPath()).rdbuf();
    EXPECT_TRUE(check(signedByTwo, kFullRequirement, both).has_value());
    EXPECT_FALSE(check(signedByTwo, kFullRequirement, one.anchorPath()).has_value());
}

TEST_F(CodeSignatureTest, TheAnchorClauseDecidesWhetherTheChainIsChecked) {
    Data impostor = sign(*program, "dev.vembrow.quarlin", *strangerTeamA);
    EXPECT_TRUE(check(impostor, "identifier \"dev.vembrow.quarlin\" and certificate leaf[subject.OU] = \"TEAMAAAAAA\"",
                      root->anchorPath()));
    EXPECT_FALSE(check(impostor, "anchor apple generic", root->anchorPath()));
    EXPECT_TRUE(check(impostor, "anchor apple generic", stranger->anchorPath()));
}

TEST_F(CodeSignatureTest, AMissingOrEmptyAnchorStoreTrustsNobody) {
    Data good = sign(*program, "dev.vembrow.quarlin", *teamA);
    std::string empty = (*directory / "empty.pem").string();
    std::ofstream(empty) << "";
    EXPECT_FALSE(check(good, kFullRequirement, (*directory / "absent.pem").string()));
    EXPECT_FALSE(check(good, kFullRequirement, empty));
}

TEST_F(CodeSignatureTest, SigningAgainReplacesTheBlockAndTheCodeStillRuns) {
    Data once = sign(*program, "first.identifier", *teamA);
    Data twice = sign(once, "dev.vembrow.quarlin", *teamA);
    ASSERT_TRUE(splitSignedFile(twice).has_value());
    EXPECT_EQ(splitSignedFile(twice)->code.size(), program->size());
    EXPECT_TRUE(std::equal(program->begin(), program->end(), twice.begin()));
    EXPECT_TRUE(check(twice, kFullRequirement, root->anchorPath()));

    fs::path file = *directory / "signed-true";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(twice.data()),
                                                static_cast<std::streamsize>(twice.size()));
    fs::permissions(file, fs::perms::owner_all);
    EXPECT_EQ(std::system(file.c_str()), 0);
}

TEST_F(CodeSignatureTest, ReadsSigningInformationWithoutJudgingIt) {
    auto info = readSigningInformation(sign(*program, "dev.vembrow.quarlin", *strangerTeamA));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->identifier, "dev.vembrow.quarlin");
    EXPECT_EQ(info->teamIdentifier, "TEAMAAAAAA");
    auto withoutTeam = readSigningInformation(sign(*program, "x", *noTeam));
    ASSERT_TRUE(withoutTeam);
    EXPECT_FALSE(withoutTeam->teamIdentifier);
    EXPECT_FALSE(readSigningInformation(*program));
}

TEST_F(CodeSignatureTest, MalformedBlocksCountAsUnsigned) {
    Data good = sign(*program, "dev.vembrow.quarlin", *teamA);
    auto withTrailer = [&](std::uint32_t directoryLength, std::uint32_t cmsLength) {
        Data d = good;
        std::size_t at = d.size() - kSignatureTrailerSize;
        for (int i = 0; i < 4; ++i) d[at + i] = static_cast<std::byte>(directoryLength >> (8 * i));
        for (int i = 0; i < 4; ++i) d[at + 4 + i] = static_cast<std::byte>(cmsLength >> (8 * i));
        return d;
    };
    auto parts = *splitSignedFile(good);
    auto directoryLength = static_cast<std::uint32_t>(parts.codeDirectory.size());
    auto cmsLength = static_cast<std::uint32_t>(parts.cms.size());
    struct Case {
        const char* name;
        Data file;
    };
    const Case cases[] = {
        {"trailer only", Data(good.end() - kSignatureTrailerSize, good.end())},
        {"shorter than a trailer", Data(good.end() - 10, good.end())},
        {"cut inside the block", Data(good.begin() + 100, good.end())},
        {"lengths larger than the file", withTrailer(0xFFFFFFF0u, 0xFFFFFFF0u)},
        {"directory length one off", withTrailer(directoryLength + 1, cmsLength - 1)},
        {"cms length one off", withTrailer(directoryLength - 1, cmsLength + 1)},
        {"magic damaged", [&] { Data d = good; d.back() ^= std::byte{1}; return d; }()},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(splitSignedFile(c.file).has_value()) << c.name;
        EXPECT_FALSE(check(c.file, kFullRequirement, root->anchorPath())) << c.name;
    }
}

TEST(CodeRequirementTest, ParsesExactlyTheThreeClauseKinds) {
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"anchor apple generic and identifier \"a.b\" and certificate leaf[subject.OU] = \"T1\"", true},
        {"identifier \"a.b\"", true},
        {"certificate leaf[subject.OU] = \"T1\" and anchor apple generic", true},
        {"identifier \"a and b\" and anchor apple generic", true},
        {"", false},
        {"anchor apple", false},
        {"anchor apple generic ", false},
        {"anchor apple generic or identifier \"a\"", false},
        {"identifier a.b", false},
        {"identifier \"a\" and identifier \"b\"", false},
        {"anchor apple generic and anchor apple generic", false},
        {"certificate leaf[subject.CN] = \"T1\"", false},
        {"anchor trusted", false},
        {"!identifier \"a\"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(CodeRequirement::parse(c.text).has_value(), c.valid) << c.text;
    auto r = CodeRequirement::parse("identifier \"a and b\" and anchor apple generic");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->identifier, "a and b");
    EXPECT_TRUE(r->anchorInStore);
    EXPECT_FALSE(r->leafSubjectOU);
}

TEST_F(CodeSignatureTest, SystemServicesReportTheTeamOfTheFileOnly) {
    fs::path signedFile = *directory / "services-signed";
    fs::path unsignedFile = *directory / "services-unsigned";
    testing::signedCopy("/bin/true", signedFile, "dev.vembrow.quarlin.helper", *teamA);
    testing::plainCopy("/bin/true", unsignedFile);

    auto teamOf = [](const fs::path& path) -> std::optional<std::string> {
        SystemCodeSigningServices services(path.string());
        std::unique_ptr<SecCode> self;
        std::unique_ptr<SecStaticCode> staticCode;
        std::unique_ptr<SigningInformationDictionary> info;
        EXPECT_EQ(services.copySelf(0, self), errSecSuccess);
        EXPECT_EQ(services.copyStaticCode(*self, 0, staticCode), errSecSuccess);
        EXPECT_EQ(services.copySigningInformation(*staticCode, kSecCSSigningInformation, info), errSecSuccess);
        auto it = info->find(kSecCodeInfoTeamIdentifier);
        if (it == info->end()) return std::nullopt;
        return std::get<std::string>(it->second);
    };
    EXPECT_EQ(teamOf(signedFile), "TEAMAAAAAA");
    EXPECT_EQ(teamOf(unsignedFile), std::nullopt);

    SystemCodeSigningServices missing((*directory / "absent").string());
    std::unique_ptr<SecCode> self;
    std::unique_ptr<SecStaticCode> staticCode;
    ASSERT_EQ(missing.copySelf(0, self), errSecSuccess);
    EXPECT_EQ(missing.copyStaticCode(*self, 0, staticCode), errSecCSStaticCodeNotFound);

    // There but unreadable (a folder reads as EISDIR, as a full descriptor table gives EMFILE):
    // a read error, which the helper does not report as an unsigned executable.
    SystemCodeSigningServices unreadable(directory->string());
    std::unique_ptr<SigningInformationDictionary> info;
    ASSERT_EQ(unreadable.copySelf(0, self), errSecSuccess);
    ASSERT_EQ(unreadable.copyStaticCode(*self, 0, staticCode), errSecSuccess);
    EXPECT_EQ(unreadable.copySigningInformation(*staticCode, kSecCSSigningInformation, info), errSecIO);
    const auto requirement = quarlin::XPCCodeSigningRequirement::requirementForApp(unreadable);
    ASSERT_FALSE(requirement);
    EXPECT_TRUE(requirement.error().isReadError());
}

// The executable judged is the one the peer ran when it was accepted: a peer that executes
// another program afterwards is refused, one that does not is read whole; an executable
// beyond the size bound is refused before it is read.
TEST(PeerProcess, JudgesTheExecutableHeldSinceAcceptAndNothingElse) {
    const std::string path = (testing::makeTemporaryDirectory("peer") / "s").string();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    for (const bool executes : {false, true}) {
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
            char byte;
            if (::read(go[0], &byte, 1) != 1) ::_exit(2);
            if (executes) ::execl("/bin/sleep", "sleep", "5", nullptr);
            ::sleep(5);
            ::_exit(0);
        }
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(accepted, 0);
        auto peer = PeerProcess::ofSocket(accepted);
        ASSERT_TRUE(peer) << peer.error();
        ASSERT_EQ(::write(go[1], "x", 1), 1);
        const std::string exe = "/proc/" + std::to_string(child) + "/exe";
        for (int i = 0; executes && i < 200 && fs::read_symlink(exe) != "/usr/bin/sleep" && fs::read_symlink(exe) != "/bin/sleep"; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // This test program is unsigned: judging the file held says so; a program executed
        // after accept is not judged at all.
        const auto verdict = peer->evaluateExecutable(*CodeRequirement::parse("identifier \"x\""), AnchorStore());
        ASSERT_FALSE(verdict);
        EXPECT_EQ(verdict.error(), executes ? "the peer executed another program after it connected" : "the code is not signed");
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(accepted);
        ::close(go[0]);
        ::close(go[1]);
    }
    ::close(listener);

    const std::string big = path + ".big";
    std::ofstream(big).close();
    fs::resize_file(big, kMaxPeerExecutableSize + 1);
    const auto refused = readWholeFile(big);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), big + " is larger than " + std::to_string(kMaxPeerExecutableSize) + " bytes");
    const int fd = ::open(big.c_str(), O_RDONLY | O_CLOEXEC);
    const auto unread = evaluateRequirementOfFile(fd, "big", kMaxPeerExecutableSize, CodeRequirement{}, AnchorStore());
    ::close(fd);
    EXPECT_EQ(unread.error(), "big is larger than " + std::to_string(kMaxPeerExecutableSize) + " bytes");
}

}  // namespace
}  // namespace quarlin::platform

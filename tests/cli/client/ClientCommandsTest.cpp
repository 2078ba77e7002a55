// The client subcommands of quarlin, run as real processes against the real helper (its
// test build) on a socket of the test's own, reading a loop device of random bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "../../support/DiskImageFixtures.h"
#include "../../support/RecoveryDisk.h"
#include "ChildProcess.h"
#include "QuarlinCore/recovery/ScanReport.h"
#include "TestSigning.h"
#include "platform/registry/BSDNameTable.h"
#include "../../support/Eventually.h"

namespace quarlin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;

// Three read chunks of the client: two whole ones and a short one; a size of this
// process's own.
const std::size_t kDeviceBytes = (9u << 20) + 512 * (1 + ::getpid() % 89);

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

const auto& shell = fixtures::shellOutput;
// The two ways blocks come to the client: through a memory file it lends the helper, and in
// the replies on the socket. An empty argument is left out.
const char* const kWays[] = {"", "--through-socket"};
const auto& fileText = fixtures::readWhole;

class ClientCommandsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new fs::path(testing::makeTemporaryDirectory("quarlin-client"));
        testing::TestCertificateAuthority root(*dir, "root");
        auto team = root.issue("CLIENTTEAM", "team");
        testing::signedCopy(TEST_HELPER_PATH, *dir / "helper", "dev.vembrow.quarlin.helper", team);
        testing::signedCopy(QUARLIN_PATH, *dir / "quarlin", "dev.vembrow.quarlin", team);
        testing::plainCopy(QUARLIN_PATH, *dir / "quarlin-unsigned");
        anchors = new std::string(root.anchorPath());
        device = new std::string(kDeviceBytes, '\0');
        std::mt19937_64 random(7);
        for (auto& c : *device) c = static_cast<char>(random());
        std::ofstream((*dir / "device.img"), std::ios::binary).write(device->data(), kDeviceBytes);
        loop = new std::string(shell("losetup --find --show --read-only '" + (*dir / "device.img").string() + "' 2>/dev/null"));
        placed = new std::vector<fixtures::PlacedFile>(fixtures::makeRecoveryDisk(*dir / "recovery.img"));
        recoveryLoop = new std::string(
            shell("losetup --find --show --read-only '" + (*dir / "recovery.img").string() + "' 2>/dev/null"));
        socket = new std::string((*dir / "helper.sock").string());
        if (!loop->empty()) {
            helper = new ChildProcess((*dir / "helper").string(), {*socket, *anchors});
            testsupport::eventually([] { return fs::exists(*socket); });
        }
    }
    static void TearDownTestSuite() {
        delete helper;
        if (!loop->empty()) shell("losetup -d " + *loop);
        if (!recoveryLoop->empty()) shell("losetup -d " + *recoveryLoop);
        fs::remove_all(*dir);
    }
    void SetUp() override {
        if (loop->empty()) GTEST_SKIP() << "needs root and loop devices";
        ASSERT_TRUE(fs::exists(*socket)) << "the helper did not listen";
    }

    static std::string rawName(const std::string& device = *loop) {
        auto table = platform::BSDNameTable::build();
        const auto* d = table ? table->byKernelName(fs::path(device).filename().string()) : nullptr;
        return d ? "/dev/r" + d->bsdName : std::string();
    }
    // Runs quarlin; the argument "@device" stands for the test device's raw name, "@recovery"
    // for the recovery disk's.
    static Outcome quarlin(std::vector<std::string> arguments, const std::string& program = "quarlin",
                           bool withSocket = true) {
        if (withSocket && !arguments.empty()) {
            arguments.push_back("--helper-socket");
            arguments.push_back(*socket);
        }
        std::erase(arguments, std::string());
        std::replace(arguments.begin(), arguments.end(), std::string("@device"), rawName());
        std::replace(arguments.begin(), arguments.end(), std::string("@recovery"), rawName(*recoveryLoop));
        ChildProcess p((*dir / program).string(), arguments);
        p.closeInput();
        std::string out = p.readAll();
        const int status = p.wait();
        return {status, out, p.errorOutput()};
    }

    static inline fs::path* dir;
    static inline std::string* anchors;
    static inline std::string* device;
    static inline std::string* loop;
    static inline std::string* socket;
    static inline std::vector<fixtures::PlacedFile>* placed;
    static inline std::string* recoveryLoop;
    static inline ChildProcess* helper;
};

// The socket admits root and one group by its mode: the kernel refuses anyone else before
// the helper reads a byte, and the client says who is admitted and how to join.
TEST_F(ClientCommandsTest, OnlyRootAndTheHelpersGroupMayConnect) {
    const std::string group = "quarlin-t" + std::to_string(::getpid());
    ASSERT_EQ(std::system(("groupadd --system " + group).c_str()), 0);
    const std::string gid = shell("getent group " + group + " | cut -d: -f3");
    const std::string groupSocket = (*dir / "group.sock").string();
    fs::permissions(*dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    {
        ChildProcess grouped((*dir / "helper").string(), {groupSocket, *anchors, group});
        testsupport::eventually([&] { return fs::exists(groupSocket); });
        struct stat st {};
        ASSERT_EQ(::stat(groupSocket.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        EXPECT_EQ(std::to_string(st.st_gid), gid);
        auto asNobody = [&](const std::string& groups) {
            ChildProcess p("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", groups, "--",
                                                (*dir / "quarlin").string(), "ping", "--helper-socket", groupSocket});
            p.closeInput();
            Outcome outcome{0, p.readAll(), ""};
            outcome.status = p.wait();
            outcome.err = p.errorOutput();
            return outcome;
        };
        const Outcome outsider = asNobody("--clear-groups");
        EXPECT_EQ(outsider.status, 1);
        EXPECT_EQ(outsider.err, "quarlin: the helper admits only root and members of the group \"quarlin\" (" +
                                    groupSocket + ": Permission denied). An administrator adds you with: "
                                    "usermod -aG quarlin $USER; then log in again.\n");
        const Outcome member = asNobody("--groups=" + gid);
        EXPECT_EQ(member.status, 0) << member.err;
        EXPECT_EQ(member.out, "1.0.0\n");
    }
    std::system(("groupdel " + group).c_str());
}

TEST_F(ClientCommandsTest, ReadCopiesExactlyTheBlocksAsked) {
    struct Case {
        std::uint64_t offset;
        std::uint64_t count;
    };
    const std::uint64_t blocks = kDeviceBytes / 512;
    for (Case c : {Case{0, 1}, Case{7, 9}, Case{0, blocks}, Case{blocks - 1, 1}, Case{100, 0}, Case{1, 8192 * 2 + 3}}) {
        for (const char* way : kWays) {
            SCOPED_TRACE("offset " + std::to_string(c.offset) + " count " + std::to_string(c.count) + " " + way);
            auto r = quarlin({"read", way, "@device", "--offset", std::to_string(c.offset), "--count",
                              std::to_string(c.count)});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out == device->substr(c.offset * 512, c.count * 512)) << r.out.size() << " bytes";
        }
    }
    fs::path out = *dir / "read.bin";
    auto r = quarlin({"read", "@device", "--offset", "3", "--count", "5", "--out", out.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(fileText(out) == device->substr(3 * 512, 5 * 512));
}

TEST_F(ClientCommandsTest, ImageCopiesTheWholeDeviceAndChecksItsLength) {
    fs::path image = *dir / "copy.img";
    for (const char* way : kWays) {
        std::ofstream(image) << std::string(kDeviceBytes * 2, 'x');  // longer than the device: truncated first
        auto r = quarlin({"image", way, "@device", image.string()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::file_size(image), kDeviceBytes);
        EXPECT_TRUE(fileText(image) == *device) << way;
        // Not a terminal: no progress bar, just the summary.
        EXPECT_EQ(r.err, "quarlin: copied " + std::to_string(kDeviceBytes / 512) + " blocks of 512 bytes to " +
                             image.string() + "\n");
    }
}

// A disk with a bad area in the middle: a loop device over a file in a squashfs image one of
// whose compressed blocks is damaged, so that reading those blocks fails with EIO as a bad
// sector does. Both ways of reading fail alike there and read alike before it.
TEST_F(ClientCommandsTest, ADeviceErrorInTheMiddleFailsAlikeBothWays) {
    const fs::path work = *dir / "failing";
    fs::create_directories(work / "content");
    fs::create_directories(work / "mount");
    {
        std::ofstream text(work / "content" / "disk.img");  // 4 MiB that compress, so blocks can be damaged
        for (int line = 0; line < 65536; ++line) text << "line " << std::string(58 - std::to_string(line).size(), '0') << line << "\n";
    }
    const std::string image = (work / "fs.img").string();
    ASSERT_EQ(std::system(("mksquashfs '" + (work / "content").string() + "' '" + image + "' -noappend -comp gzip -quiet >/dev/null").c_str()), 0);
    {
        std::fstream bytes(image, std::ios::in | std::ios::out | std::ios::binary);
        bytes.seekp(static_cast<std::streamoff>(fs::file_size(image) / 3));
        bytes << std::string(64, '\x5A');
    }
    ASSERT_EQ(std::system(("mount -o loop,ro '" + image + "' '" + (work / "mount").string() + "'").c_str()), 0);
    const std::string node = shell("losetup --find --show --read-only '" + (work / "mount" / "disk.img").string() + "'");
    struct Undo {
        std::string node, mount;
        ~Undo() { shell((node.empty() ? "" : "losetup -d " + node + "; ") + "umount '" + mount + "'"); }
    } undo{node, (work / "mount").string()};
    ASSERT_FALSE(node.empty());
    // What the file system still reads whole, in its 128 KiB blocks.
    std::string readable(128 << 10, '\0'), before;
    std::ifstream file(work / "mount" / "disk.img", std::ios::binary);
    while (file.read(readable.data(), static_cast<std::streamsize>(readable.size()))) before += readable;
    ASSERT_GT(before.size(), 0u);
    ASSERT_LT(before.size(), fs::file_size(work / "content" / "disk.img"));

    const std::string name = rawName(node), blocks = std::to_string(before.size() / 512);
    std::string failure;
    for (const char* way : kWays) {
        SCOPED_TRACE(way);
        const auto prefix = quarlin({"read", way, name, "--offset", "0", "--count", blocks});
        EXPECT_EQ(prefix.status, 0) << prefix.err;
        EXPECT_TRUE(prefix.out == before);
        for (const auto& failed : {quarlin({"read", way, name, "--offset", "0", "--count", std::to_string(8192)}),
                                   quarlin({"image", way, name, (work / "copy.img").string()})}) {
            EXPECT_EQ(failed.status, 1);
            EXPECT_TRUE(failed.err.starts_with("error 5: pread failed at block ")) << failed.err;
            if (failure.empty()) failure = failed.err;
            EXPECT_EQ(failed.err, failure);
        }
    }
    // A scan passes over the bad area as zeros and lists it in its report.
    const auto scan = quarlin({"scan", name, "--out", (work / "scan").string()});
    EXPECT_EQ(scan.status, 0) << scan.err;
    const auto report = recovery::readReport(work / "scan" / "report.json");
    ASSERT_TRUE(report) << report.error();
    EXPECT_TRUE(report->finished);
    ASSERT_FALSE(report->unreadable.empty());
    EXPECT_EQ(report->unreadable.front().volumeByteOffset, before.size());
}

TEST_F(ClientCommandsTest, HelperErrorsPrintTheirCodeAndMessageAndExitOne) {
    const std::uint64_t blocks = kDeviceBytes / 512;
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"read", "@device", "--offset", std::to_string(blocks - 2), "--count", "3"},
         "error 6: Range [" + std::to_string(blocks - 2) + ", " + std::to_string(blocks + 1) + ") exceeds " +
             std::to_string(blocks) + " blocks.\n"},
        {{"read", *loop, "--offset", "0", "--count", "1"}, "error 1: Refusing to open non-raw-device path: " + *loop + "\n"},
        {{"image", "disk7", (*dir / "never.img").string()}, "error 1: Refusing to open non-raw-device path: disk7\n"},
    };
    for (const auto& c : cases) {
        auto r = quarlin(c.arguments);
        EXPECT_EQ(r.status, 1) << c.arguments[1];
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(r.out.empty());
    }
    auto missing = quarlin({"read", "/dev/rdisk999", "--offset", "0", "--count", "1"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.err.starts_with("error 2: ")) << missing.err;
}

TEST_F(ClientCommandsTest, DisksPrintsTheHelpersListOrItsError) {
    const Outcome json = quarlin({"disks", "--json"}), table = quarlin({"disks"});
    const std::string name = rawName().substr(6);
    if (json.status != 0) {
        // Without a disk enumeration the helper answers with its general error.
        EXPECT_EQ(json.status, 1);
        EXPECT_TRUE(json.err.starts_with("error 99: ")) << json.err;
        EXPECT_EQ(table.err, json.err);
        return;
    }
    ASSERT_EQ(table.status, 0) << table.err;
    auto list = nlohmann::json::parse(json.out);
    ASSERT_TRUE(list.is_array());
    bool found = false;
    for (const auto& record : list) found = found || record.value("bsdName", "") == name;
    EXPECT_TRUE(found) << "the test's loop device " << name << " is listed";
    EXPECT_NE(table.out.find("\n" + name + " "), std::string::npos) << table.out;
}

TEST_F(ClientCommandsTest, AnUnreachableOrRefusingHelperIsReportedWithExitOne) {
    auto absent = quarlin({"ping", "--helper-socket", (*dir / "nobody.sock").string()}, "quarlin", false);
    EXPECT_EQ(absent.status, 1);
    EXPECT_TRUE(absent.err.starts_with("quarlin: cannot reach the helper (")) << absent.err;
    EXPECT_NE(absent.err.find("systemctl enable --now quarlin-helper"), std::string::npos) << absent.err;
    auto unsigned_ = quarlin({"ping"}, "quarlin-unsigned");
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_EQ(unsigned_.err, "quarlin: the connection to the helper ended before it replied\n");
}

TEST_F(ClientCommandsTest, BadArgumentsExitTwoAndHelpExitsZero) {
    const std::vector<std::vector<std::string>> bad = {
        {"read", "/dev/rdisk0", "--offset", "0"},
        {"read", "/dev/rdisk0", "--count", "1"},
        {"read", "/dev/rdisk0", "--offset", "-1", "--count", "1"},
        {"read", "/dev/rdisk0", "--offset", "0", "--count", "-1"},
        {"read", "/dev/rdisk0", "--offset", "zero", "--count", "1"},
        {"image", "/dev/rdisk0"},
        {"ping", "extra"},
        {"disks", "--yaml"},
        {"scan", "/dev/rdisk0"},
        {"scan", "/dev/rdisk0", "--out", "/tmp/x", "--formats", "jpeg"},
        {"recover", "report.json"},
        {},
    };
    for (const auto& arguments : bad) {
        auto r = quarlin(arguments, "quarlin", false);
        EXPECT_EQ(r.status, 2) << (arguments.empty() ? "(none)" : arguments[0]) << ": " << r.err;
        if (arguments.size() > 3 && arguments[3] == "-1") {
            EXPECT_NE(r.err.find("--offset: must not be negative"), std::string::npos);
        }
    }
    // A range that starts past the source's end is refused before the output folder is made.
    const fs::path past = *dir / "scan-past";
    auto refused = quarlin({"scan", (*dir / "recovery.img").string(), "--out", past.string(), "--from", "99999999999"},
                           "quarlin", false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("lies past the end of"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(past));
    // So is a source whose path is not UTF-8, which a report could not name again.
    fs::copy_file(*dir / "recovery.img", *dir / "odd\xFF.img", fs::copy_options::overwrite_existing);
    refused = quarlin({"scan", (*dir / "odd\xFF.img").string(), "--out", past.string()}, "quarlin", false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("is not UTF-8"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(past));
    fs::remove(*dir / "odd\xFF.img");
    for (const char* command : {"ping", "disks", "read", "image", "scan", "recover"}) {
        auto r = quarlin({command, "--help"}, "quarlin", false);
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << command;
    }
}

TEST_F(ClientCommandsTest, ScanThroughTheHelperRecoversWhatTheImageHolds) {
    ASSERT_FALSE(recoveryLoop->empty());
    // The report names the disk, and recovery opens that name again. The scan reads through
    // the memory file it lends the helper, the recovery over the socket: the same bytes.
    {
        const fs::path viaHelper = *dir / "scan-device", again = *dir / "recovered";
        auto device = quarlin({"scan", "@recovery", "--out", viaHelper.string(), "--unaligned", "--json"});
        auto recovered = quarlin({"recover", (viaHelper / "report.json").string(), "--to", again.string(), "--verdict",
                                  "looksIntact", "--through-socket"});
        ASSERT_EQ(device.status, 0) << device.err;
        EXPECT_NE(device.out.find("\"event\":\"done\""), std::string::npos) << device.out;
        ASSERT_EQ(recovered.status, 0) << recovered.err;

        const auto report = recovery::readReport(viaHelper / "report.json");
        ASSERT_TRUE(report) << report.error();
        EXPECT_TRUE(report->finished);
        EXPECT_EQ(report->sourceIdentity.physicalDeviceID, rawName(*recoveryLoop).substr(6));
        EXPECT_GT(report->readCallCount, 0);
        EXPECT_EQ(static_cast<std::uint64_t>(report->blocksRead * report->blockSize), report->rangeEnd);
        fixtures::expectScanMatches(*placed, fixtures::readWhole(*dir / "recovery.img"), report->files, viaHelper);
        // The image file scanned directly gives the same files.
        const fs::path viaImage = *dir / "scan-image";
        auto image = quarlin({"scan", (*dir / "recovery.img").string(), "--out", viaImage.string(), "--unaligned"}, "quarlin", false);
        ASSERT_EQ(image.status, 0) << image.err;
        const auto fromImage = recovery::readReport(viaImage / "report.json");
        ASSERT_TRUE(fromImage);
        ASSERT_EQ(fromImage->files.size(), report->files.size());
        for (std::size_t i = 0; i < report->files.size(); ++i) EXPECT_EQ(fromImage->files[i].name, report->files[i].name);
        // And one found file scanned on its own, named from the working folder, comes back whole
        // though it ends inside a sector, and its report names it wherever recovery runs.
        const auto odd = std::find_if(report->files.begin(), report->files.end(), [](const FileRecord& r) {
            return r.declaredSize % 512 != 0 && std::holds_alternative<IntegrityVerdict::LooksIntact>(r.verdict.value());
        });
        ASSERT_NE(odd, report->files.end());
        const fs::path alone = *dir / "scan-alone";
        const fs::path oddFile = viaHelper / odd->name;
        ASSERT_EQ(quarlin({"scan", fs::relative(oddFile).string(), "--out", alone.string()}, "quarlin", false).status, 0);
        EXPECT_EQ(recovery::readReport(alone / "report.json")->source, oddFile.string());
        const auto aloneReport = recovery::readReport(alone / "report.json");
        ASSERT_EQ(aloneReport->files.size(), 1u);
        EXPECT_EQ(quarlin({"recover", (alone / "report.json").string(), "--to", (*dir / "alone-again").string(), "--ids",
                           UUID::random().uuidString() + "," + aloneReport->files[0].id.uuidString()})
                      .status,
                  1);  // one id the report lacks: nothing recovered
        EXPECT_EQ(quarlin({"recover", (alone / "report.json").string(), "--to", (*dir / "alone-again").string(), "--ids",
                           aloneReport->files[0].id.uuidString()})
                      .status,
                  0);
        EXPECT_TRUE(fileText(alone / ("0000000000000000" + fs::path(odd->name).extension().string())) ==
                    fileText(viaHelper / odd->name));
        // Recovering from the report read the disk again and wrote the same bytes.
        int files = 0;
        for (const auto& record : report->files) {
            if (!std::holds_alternative<IntegrityVerdict::LooksIntact>(record.verdict.value())) continue;
            ++files;
            EXPECT_TRUE(fileText(again / record.name) == fileText(viaHelper / record.name)) << record.name;
        }
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(again), fs::directory_iterator())),
                  static_cast<std::size_t>(files));
        // Run again (as after Ctrl-C): the files there whole are left as they are without failing;
        // one whose length differs is a failure.
        std::ofstream(again / odd->name, std::ios::app) << "x";  // this one is not whole: a failure
        const auto twice = quarlin({"recover", (viaHelper / "report.json").string(), "--to", again.string(), "--verdict", "looksIntact"});
        EXPECT_EQ(twice.status, 1);
        EXPECT_NE(twice.err.find("is there already, whole"), std::string::npos) << twice.err;
        EXPECT_NE(twice.err.find("1 files could not be recovered"), std::string::npos) << twice.err;
    }
}

TEST_F(ClientCommandsTest, CtrlCEndsAScanCleanlyAndResumeFinishesIt) {
    // The recovery disk, then 512 MiB of holes: time enough to interrupt the scan.
    const fs::path image = *dir / "long.img";
    fs::copy_file(*dir / "recovery.img", image, fs::copy_options::overwrite_existing);
    fs::resize_file(image, std::uint64_t{512} << 20);
    const fs::path whole = *dir / "long-whole", parts = *dir / "long-parts";
    ASSERT_EQ(quarlin({"scan", image.string(), "--out", whole.string()}, "quarlin", false).status, 0);

    testing::ChildProcess scan((*dir / "quarlin").string(), {"scan", image.string(), "--out", parts.string(), "--json"});
    ASSERT_TRUE(scan.readLine());  // the first chunk is done
    ::kill(scan.pid(), SIGUSR1);   // paused ...
    ::kill(scan.pid(), SIGINT);    // ... and still ended by Ctrl-C
    EXPECT_EQ(scan.wait(), 130) << scan.errorOutput();
    EXPECT_NE(scan.errorOutput().find("--resume"), std::string::npos) << scan.errorOutput();
    const auto stopped = recovery::readReport(parts / "report.json");
    ASSERT_TRUE(stopped) << stopped.error();
    EXPECT_FALSE(stopped->finished);
    EXPECT_LT(stopped->stoppedAt, stopped->rangeEnd);
    for (const auto& record : stopped->files) EXPECT_EQ(fs::file_size(parts / record.name), record.declaredSize);

    auto resumed = quarlin({"scan", image.string(), "--out", parts.string(), "--resume"}, "quarlin", false);
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    const auto a = recovery::readReport(whole / "report.json"), b = recovery::readReport(parts / "report.json");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(b->finished);
    ASSERT_EQ(a->files.size(), b->files.size());
    for (std::size_t i = 0; i < a->files.size(); ++i) EXPECT_EQ(a->files[i].name, b->files[i].name);
    // Finished, or of another source, it is refused from its head, before its records are
    // read: here they are cut short.
    fs::resize_file(parts / "report.json", fs::file_size(parts / "report.json") - 8);
    for (const auto& [source, why] : {std::pair{image.string(), "has finished already"},
                                      std::pair{(*dir / "recovery.img").string(), "is the scan of"}}) {
        const auto again = quarlin({"scan", source, "--out", parts.string(), "--resume"}, "quarlin", false);
        EXPECT_EQ(again.status, 1);
        EXPECT_NE(again.err.find(why), std::string::npos) << again.err;
    }
    fs::remove(image);
}

TEST_F(ClientCommandsTest, ScanAndRecoverRefuseDestinationsThatWouldLoseData) {
    // A writable file system on a loop device of its own, mounted: the disk being scanned.
    const fs::path fsImage = *dir / "mounted.img", mount = *dir / "mnt";
    shell("truncate -s 8M '" + fsImage.string() + "' && mkfs.ext4 -q -F '" + fsImage.string() + "'");
    const std::string rw = shell("losetup --find --show '" + fsImage.string() + "'");
    ASSERT_FALSE(rw.empty());
    fs::create_directories(mount);
    ASSERT_EQ(std::system(("mount " + rw + " '" + mount.string() + "'").c_str()), 0);
    const std::string name = rawName(rw);
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    std::ofstream(*dir / "busy.txt") << "x";
    fs::create_directories(*dir / "busy");
    std::ofstream(*dir / "busy" / "kept.txt") << "kept";
    std::ofstream(*dir / "bad-report.json") << R"({"source": "x", "sourceIdentity": {"physicalDeviceID": 5}})";
    const Case cases[] = {
        {{"scan", name, "--out", (mount / "found").string()}, "the disk being recovered"},
        {{"scan", name, "--out", (*dir / "busy").string()}, "is not empty"},
        {{"scan", name, "--out", (*dir / "busy").string(), "--resume"}, "cannot resume"},
        {{"scan", (*dir / "missing.img").string(), "--out", (*dir / "never").string()}, "cannot open"},
        {{"recover", (*dir / "bad-report.json").string(), "--to", (*dir / "never").string()}, "'physicalDeviceID'"},
    };
    for (const auto& c : cases) {
        auto r = quarlin(c.arguments);
        EXPECT_EQ(r.status, 1) << c.arguments[1];
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(mount / "found"));
    EXPECT_EQ(fileText(*dir / "busy" / "kept.txt"), "kept");
    shell("umount '" + mount.string() + "'; losetup -d " + rw);

    // A folder that fills up ends the scan with the error; what it holds stays consistent.
    const fs::path small = *dir / "small";
    fs::create_directories(small);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=300k tmpfs '" + small.string() + "'").c_str()), 0);
    auto full = quarlin({"scan", (*dir / "recovery.img").string(), "--out", (small / "found").string()}, "quarlin", false);
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
    const auto kept = recovery::readReport(small / "found" / "report.json");
    ASSERT_TRUE(kept) << kept.error();
    EXPECT_FALSE(kept->finished);
    for (const auto& record : kept->files) EXPECT_EQ(fs::file_size(small / "found" / record.name), record.declaredSize);
    for (const auto& entry : fs::directory_iterator(small / "found")) EXPECT_NE(entry.path().extension(), ".part");
    shell("umount '" + small.string() + "'");
}

}  // namespace
}  // namespace quarlin

#include "DiskAccess/VolumeQuiesce.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <future>
#include <unistd.h>

#include "DiskAccess/DiskArbitrationService.h"
#include "LoopDevice.h"

namespace quarlin {
namespace {

namespace fs = std::filesystem;
using testing::fixture;
using testing::fixtureRoots;
using runtime::runBlocking;

std::string describe(const MountPathTaken& answer) {
    return std::visit(
        [](const auto& c) -> std::string {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, MountPathTaken::Unmounted>) return "unmounted(" + c.bsdName + ")";
            else if constexpr (std::is_same_v<T, MountPathTaken::ReadOnlyRemount>)
                return "readOnlyRemount(" + c.bsdName + ", " + c.reason + ")";
            else return "alreadyUnmounted(" + c.bsdName + ")";
        },
        answer.value());
}

TEST(VolumeQuiesce, AnswersWithoutAnUnmountAttempt) {
    struct Case {
        platform::DiskStackRoots roots;
        std::string bsdName;
        MountPathTaken expected;
    };
    const platform::DiskStackRoots none{"/nonexistent", "/nonexistent", "/nonexistent"};
    const std::vector<Case> cases = {
        {none, "disk0s1", MountPathTaken::readOnlyRemount("disk0s1", "DiskArbitration session unavailable.")},
        {fixtureRoots("nvme"), "disk9", MountPathTaken::readOnlyRemount("disk9", "Could not create DADisk for 'disk9'.")},
        {fixtureRoots("nvme"), "nvme0n1",
         MountPathTaken::readOnlyRemount("nvme0n1", "Could not create DADisk for 'nvme0n1'.")},
        // Nothing of the whole NVMe disk is mounted; its partitions are.
        {fixtureRoots("nvme"), "disk0", MountPathTaken::alreadyUnmounted("disk0")},
        {fixtureRoots("nvme"), "/dev/disk0", MountPathTaken::alreadyUnmounted("/dev/disk0")},
    };
    for (const auto& c : cases) {
        DiskArbitrationService service(c.roots);
        EXPECT_EQ(describe(runBlocking(service.quiesce(c.bsdName))), describe(c.expected)) << c.bsdName;
    }
}

// An unmount's answer: unmounted, or a read-only remount with the system's reason, or the
// status in hex where the system gave no text.
TEST(VolumeQuiesce, CallbackAnswers) {
    using platform::Dissenter;
    const std::vector<std::pair<std::uint32_t, std::string>> statuses = {{0xC010, "DA error 0xc010"},
                                                                          {0xFFFFFFFF, "DA error 0xffffffff"}};
    for (const auto& [status, reason] : statuses) {
        EXPECT_EQ(volumequiesce::statusReason(status), reason);
        EXPECT_EQ(describe(volumequiesce::answerForUnmount("disk5s1", Dissenter{status, std::nullopt})),
                  "readOnlyRemount(disk5s1, " + reason + ")");
    }
    EXPECT_EQ(describe(volumequiesce::answerForUnmount("disk5s1", std::nullopt)), "unmounted(disk5s1)");
    EXPECT_EQ(describe(volumequiesce::answerForUnmount(std::nullopt, std::nullopt)), "unmounted(unknown)");
    EXPECT_EQ(describe(volumequiesce::answerForUnmount(std::nullopt, Dissenter{0xF8DA0002, "Device or resource busy"})),
              "readOnlyRemount(unknown, Device or resource busy)");
    EXPECT_EQ(platform::DissenterStatus::fromErrno(EBUSY), 0xF8DA0002u);
    EXPECT_EQ(platform::DissenterStatus::fromErrno(EPERM), platform::DissenterStatus::notPrivileged);
    EXPECT_EQ(platform::DissenterStatus::fromErrno(EIO), platform::DissenterStatus::error);
}

TEST(VolumeQuiesce, ASecondCallbackForTheSameBoxChangesNothing) {
    // As on the real path: the box is filled while the task suspends, and the callbacks
    // run later on the session's queue.
    platform::DispatchQueue queue("dev.vembrow.quarlin.da-session");
    auto box = std::make_shared<volumequiesce::UnmountContinuationBox>();
    ::testing::internal::CaptureStderr();
    auto answer = runtime::runBlockingFunction([&]() -> runtime::Task<MountPathTaken> {
        co_return co_await runtime::withCheckedContinuation<MountPathTaken>(
            "quiesce(bsdName:)", [&](runtime::CheckedContinuation<MountPathTaken> continuation) {
                box->continuation = std::move(continuation);
                queue.async([box] {
                    volumequiesce::unmountDidFinish("disk5s1", std::nullopt, box.get());
                    volumequiesce::unmountDidFinish("disk6", platform::Dissenter{0xF8DA0002, std::nullopt}, box.get());
                });
            });
    });
    std::promise<void> drained;
    queue.async([&] {
        volumequiesce::unmountDidFinish("disk7", std::nullopt, box.get());
        volumequiesce::unmountDidFinish("disk7", std::nullopt, nullptr);  // no box: nothing to do
        drained.set_value();
    });
    drained.get_future().wait();
    std::string diagnostics = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(describe(answer), "unmounted(disk5s1)");
    EXPECT_FALSE(box->continuation);
    EXPECT_EQ(diagnostics, "") << "the continuation was resumed once and not leaked";
}

TEST(VolumeQuiesce, UnmountsALoopDeviceOfThisMachine) {
    testing::LoopDevice loop;
    if (!loop.attached()) GTEST_SKIP() << "needs root and loop devices";
    ASSERT_TRUE(loop.mount());
    DiskArbitrationService service;

    {
        // A file held open keeps the volume busy: the refusal says so.
        int fd = ::open((loop.mountPoint() / "held").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        auto [name, refused] =
            loop.withStableName([&](const std::string& n) { return runBlocking(service.quiesce(n)); });
        ::close(fd);
        EXPECT_EQ(describe(refused), describe(MountPathTaken::readOnlyRemount(name, std::strerror(EBUSY))));
        EXPECT_TRUE(loop.isMounted());
    }

    {
        // Bound elsewhere too: the bind mount goes first, then the busy volume refuses, and
        // the answer says what was unmounted before the refusal.
        const fs::path bound = loop.mountPoint().parent_path() / "bound";
        fs::create_directories(bound);
        ASSERT_EQ(::mount(loop.mountPoint().c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0);
        int fd = ::open((loop.mountPoint() / "held").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        auto [name, refused] =
            loop.withStableName([&](const std::string& n) { return runBlocking(service.quiesce(n)); });
        ::close(fd);
        EXPECT_EQ(describe(refused), describe(MountPathTaken::readOnlyRemount(
                                         name, std::string(std::strerror(EBUSY)) + "; unmounted before the refusal: " +
                                                   bound.string())));
        EXPECT_TRUE(loop.isMounted());
        ::umount2(bound.c_str(), MNT_DETACH);
    }

    auto [name, unmounted] =
        loop.withStableName([&](const std::string& n) { return runBlocking(service.quiesce("/dev/" + n)); });
    EXPECT_EQ(describe(unmounted), describe(MountPathTaken::unmounted(name)));
    EXPECT_FALSE(loop.isMounted());

    auto [again, answer] = loop.withStableName([&](const std::string& n) { return runBlocking(service.quiesce(n)); });
    EXPECT_EQ(describe(answer), describe(MountPathTaken::alreadyUnmounted(again)));
}

}  // namespace
}  // namespace quarlin

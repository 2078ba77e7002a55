// The main job's program run as a process on the image the build writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "DiskAccess/RawDiskBlockReader.h"

namespace {

using testing::HasSubstr;

struct SampleRun {
    int status;
    std::string output;
};

SampleRun runSample(const std::string& arguments) {
    const std::string command = std::string(QUARLIN_BINARY_DIR) + "/bin/quarlin-sample " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(QuarlinSampleTest, ShowsTheGeometryAndBlockZeroOfTheBuiltImage) {
    const SampleRun run = runSample("");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_THAT(run.output, HasSubstr("Block size: 512 bytes\n"));
    EXPECT_THAT(run.output, HasSubstr("Block count: 2048\n"));
    EXPECT_THAT(run.output,
                HasSubstr("00000000  eb 3c 90 51 55 41 52 4c  49 4e 20 53 41 4d 50 4c  |.<.QUARLIN SAMPL|\n"));
    // The partition entry and the boot signature.
    EXPECT_THAT(run.output,
                HasSubstr("000001b0  00 00 00 00 00 00 00 00  00 00 00 00 00 00 80 00  |................|\n"));
    EXPECT_THAT(run.output,
                HasSubstr("000001c0  00 00 83 00 00 00 40 00  00 00 c0 07 00 00 00 00  |......@.........|\n"));
    EXPECT_THAT(run.output,
                HasSubstr("000001f0  00 00 00 00 00 00 00 00  00 00 00 00 00 00 55 aa  |..............U.|\n"));
    EXPECT_THAT(run.output, testing::Not(HasSubstr("00000200")));  // block 0 only
}

TEST(QuarlinSampleTest, TheBuiltImageNamesEveryLaterBlock) {
    quarlin::RawDiskBlockReader reader(std::string(QUARLIN_BINARY_DIR) + "/sample/sample-disk.img", 512, std::nullopt);
    for (const std::uint64_t block : {1u, 64u, 2047u}) {
        const auto bytes = quarlin::runtime::runBlocking(reader.readBlocks(block, 1));
        const std::string expected = "block " + std::to_string(block);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), expected.size()), expected);
    }
}

TEST(QuarlinSampleTest, MissingImageIsReportedAndFails) {
    const SampleRun run = runSample("/nonexistent/disk.img");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output,
              "quarlin-sample: POSIX error 2: open(/nonexistent/disk.img, O_RDONLY) failed: No such file or directory\n");
}

}  // namespace

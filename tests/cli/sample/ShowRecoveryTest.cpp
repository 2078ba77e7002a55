// The main job's script, run as ./run runs it after the build: on the sample disk, and on an
// image the user names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

using testing::HasSubstr;

struct ScriptRun {
    int status;
    std::string output;
};

ScriptRun showRecovery(const std::string& arguments) {
    const std::string command = "QUARLIN_BUILD='" QUARLIN_BINARY_DIR "' '" QUARLIN_SOURCE_DIR
                                "/src/cli/sample/show-recovery' " + arguments + " 2>&1 </dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(ShowRecoveryTest, RecoversTheDeletedFilesOfTheSampleDisk) {
    const ScriptRun run = showRecovery("");
    ASSERT_EQ(run.status, 0) << run.output;
    // Through the helper where loop devices can be attached, else from the image file.
    if (::geteuid() == 0) {
        EXPECT_THAT(run.output, HasSubstr("== quarlin scan /dev/rdisk"));
    }
    // The file system had deleted these; the ones it had kept contiguous come back whole.
    int deletedBack = 0;
    for (std::size_t at = run.output.find("looksIntact"); at != std::string::npos;
         at = run.output.find("looksIntact", at + 1)) {
        const auto line = run.output.substr(at, run.output.find('\n', at) - at);
        deletedBack += line.find(" yes ") != std::string::npos;
    }
    EXPECT_GE(deletedBack, 4) << run.output;
    EXPECT_THAT(run.output, HasSubstr("look intact"));
}

TEST(ShowRecoveryTest, AMissingImageIsAClearErrorWithStatusOne) {
    const ScriptRun run = showRecovery("/nonexistent/disk.img");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.output, HasSubstr("quarlin: cannot open /nonexistent/disk.img: No such file or directory"));
}

}  // namespace

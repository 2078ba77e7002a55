// Throughput of `quarlin image` through the helper against nbdkit's file plugin with
// nbdcopy, in the same run, on the same 1 GiB file held in the page cache: the helper
// reads it as a read-only loop device, nbdkit serves the file read-only over a Unix
// socket. Both copy to null (`quarlin image` accepts /dev/null and then counts the bytes
// it wrote), then both into a file on tmpfs (the first image checked against the file);
// `quarlin image --through-socket` (the blocks in the replies, not in a shared buffer) beside,
// and dd writing as many zeros into a new tmpfs file, the floor of any copy to a file. Runs alternate; prints
// MiB/s of each (best and median of the runs) and the ratios. Then the latency of a whole
// `quarlin ping` and of `quarlin disks --json` against `lsblk -J` of the same columns, each
// a new process, alternating, 31 runs each (medians), with eight loop devices attached.
//   helper_image_bench [RUNS]       (root: attaches a loop device)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/PeerCode.h"
#include "platform/registry/BSDNameTable.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kImageBytes = std::size_t{1} << 30;

std::string output(const std::string& command) {
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    if (!pipe || ::pclose(pipe) != 0) return "";
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

pid_t start(const std::vector<std::string>& argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
        raw.push_back(nullptr);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

bool waitFor(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

double seconds(const std::string& command) {
    auto begin = Clock::now();
    int status = std::system(command.c_str());
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    if (status != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        return -1.0;
    }
    return elapsed;
}

// Seconds for one run of argv with its output thrown away; negative when it fails.
double secondsOf(const std::vector<std::string>& argv) {
    auto begin = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
        raw.push_back(nullptr);
        ::execvp(raw[0], raw.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1.0;
}

void signCopy(const std::string& from, const std::string& to, const std::string& identifier) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    std::string dir = DEV_CERTIFICATE_DIR;
    std::string command = std::string("'") + fs::path(QUARLIN_PATH).parent_path().string() +
                          "/quarlin-codesign' sign --identifier " + identifier + " --cert " + dir +
                          "/dev-signer.pem --key " + dir + "/dev-signer.key '" + to + "'";
    if (std::system(command.c_str()) != 0) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    fs::path work = fs::temp_directory_path() / ("helper-image-bench-" + std::to_string(::getpid()));
    fs::create_directories(work);
    fs::path image = work / "source.img";
    fs::path copy = "/dev/shm/helper-image-bench-copy.img";  // the copy goes to memory, not the disk

    {
        std::ofstream out(image, std::ios::binary);
        std::vector<char> block(1 << 20);
        unsigned long long x = 88172645463325252ull;
        for (std::size_t written = 0; written < kImageBytes; written += block.size()) {
            for (auto& c : block) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                c = static_cast<char>(x);
            }
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    // Both servers read the file from the page cache.
    seconds("cat '" + image.string() + "' > /dev/null");

    std::string loop = output("losetup --find --show --read-only '" + image.string() + "'");
    if (loop.empty()) {
        std::fprintf(stderr, "cannot attach a loop device (root needed)\n");
        return 1;
    }
    auto table = quarlin::platform::BSDNameTable::build();
    const auto* device = table ? table->byKernelName(fs::path(loop).filename().string()) : nullptr;
    if (!device) return 1;
    std::string raw = "/dev/r" + device->bsdName;
    // The loop device keeps its own cache of the blocks: fill it too.
    seconds("cat " + loop + " > /dev/null");

    std::string helper = (work / "helper").string(), helperSocket = (work / "helper.sock").string();
    signCopy(TEST_HELPER_PATH, helper, "dev.vembrow.quarlin.helper");
    pid_t helperPid = start({helper, helperSocket, std::string(DEV_CERTIFICATE_DIR) + "/dev-anchor.pem"});
    std::string nbdSocket = (work / "nbd.sock").string();
    pid_t nbdPid = start({"nbdkit", "--foreground", "--readonly", "--unix", nbdSocket, "file", image.string()});
    if (!waitFor(helperSocket) || !waitFor(nbdSocket)) return 1;

    auto imageTo = [&](const std::string& file, const char* how = "") {
        return std::string("'") + QUARLIN_PATH + "' image " + how + raw + " '" + file + "' --helper-socket '" +
               helperSocket + "' 2>/dev/null";
    };
    const std::string nbdCommand = "nbdcopy 'nbd+unix:///?socket=" + nbdSocket + "' null:";
    const std::string nbdFileCommand = "nbdcopy 'nbd+unix:///?socket=" + nbdSocket + "' '" + copy.string() + "'";
    std::vector<double> helperTimes, nbdTimes, fileTimes, nbdFileTimes, socketTimes, socketFileTimes, floorTimes;
    for (int i = 0; i < runs; ++i) {
        helperTimes.push_back(seconds(imageTo("/dev/null")));
        socketTimes.push_back(seconds(imageTo("/dev/null", "--through-socket ")));
        nbdTimes.push_back(seconds(nbdCommand));
        fileTimes.push_back(seconds(imageTo(copy.string())));
        // A copy that is fast but wrong counts for nothing.
        if (i == 0 && std::system(("cmp -s '" + image.string() + "' '" + copy.string() + "'").c_str()) != 0) {
            std::fprintf(stderr, "the image of the device differs from the file under it\n");
            return 1;
        }
        fs::remove(copy);
        socketFileTimes.push_back(seconds(imageTo(copy.string(), "--through-socket ")));
        fs::remove(copy);
        nbdFileTimes.push_back(seconds("touch '" + copy.string() + "' && " + nbdFileCommand));
        fs::remove(copy);
        // The floor of any copy into a new tmpfs file: writing as many zeros into one.
        floorTimes.push_back(seconds("dd if=/dev/zero of='" + copy.string() + "' bs=1M count=" +
                                     std::to_string(kImageBytes >> 20) + " status=none"));
        fs::remove(copy);
    }
    // The listing is timed with eight loop devices attached, four of them holding file systems
    // that no udev has recorded: the bench's own and seven small ones.
    std::vector<std::string> smallLoops;
    for (int i = 0; i < 7; ++i) {
        const std::string file = (work / ("small" + std::to_string(i) + ".img")).string();
        static const char* const makers[] = {"mkfs.ext4 -q -F", "mkfs.ext3 -q -F", "mkfs.ext2 -q -F", "mkfs.minix"};
        std::string made = "truncate -s 128M '" + file + "'";
        if (i < 4) made += std::string(" && ") + makers[i] + " '" + file + "' > /dev/null";
        if (std::system(made.c_str()) != 0) return 1;
        smallLoops.push_back(output("losetup --find --show '" + file + "'"));
        if (smallLoops.back().empty()) return 1;
    }
    std::vector<double> pingTimes, disksTimes, lsblkTimes;
    for (int i = 0; i < 31; ++i) {
        pingTimes.push_back(secondsOf({QUARLIN_PATH, "ping", "--helper-socket", helperSocket}));
        disksTimes.push_back(secondsOf({QUARLIN_PATH, "disks", "--json", "--helper-socket", helperSocket}));
        lsblkTimes.push_back(secondsOf({"lsblk", "-J", "-b", "-o", "NAME,FSTYPE,MOUNTPOINT,SIZE,RM,TRAN"}));
    }
    stop(helperPid);
    stop(nbdPid);
    output("losetup -d " + loop);
    for (const auto& small : smallLoops) output("losetup -d " + small);
    fs::remove_all(work);

    for (const auto* times : {&helperTimes, &nbdTimes, &fileTimes, &nbdFileTimes, &socketTimes, &socketFileTimes, &floorTimes, &pingTimes, &disksTimes, &lsblkTimes}) {
        if (std::any_of(times->begin(), times->end(), [](double t) { return t < 0; })) return 1;
    }
    const double mib = static_cast<double>(kImageBytes) / (1 << 20);
    auto best = [](std::vector<double> t) { return *std::min_element(t.begin(), t.end()); };
    auto median = [](std::vector<double> t) {
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    };
    auto show = [&](const char* what, const std::vector<double>& t) {
        std::printf("%-34s %8.1f MiB/s best (%.3f s), %8.1f MiB/s median (%.3f s) of %d\n", what, mib / best(t), best(t),
                    mib / median(t), median(t), runs);
    };
    show("quarlin image to /dev/null:", helperTimes);
    show("nbdkit file + nbdcopy to null:", nbdTimes);
    std::printf("ratio helper / nbdkit:             %8.2f best, %.2f median\n", best(nbdTimes) / best(helperTimes),
                median(nbdTimes) / median(helperTimes));
    show("  the same over the socket:", socketTimes);
    show("quarlin image to a tmpfs file:", fileTimes);
    show("  the same over the socket:", socketFileTimes);
    show("nbdcopy to a tmpfs file:", nbdFileTimes);
    std::printf("ratio helper / nbdkit, to a file:  %8.2f best, %.2f median\n", best(nbdFileTimes) / best(fileTimes),
                median(nbdFileTimes) / median(fileTimes));
    show("dd of zeros to a tmpfs file:", floorTimes);
    std::printf("most a copy to a file can reach:   %8.2f median (nbdcopy against dd of zeros)\n",
                median(nbdFileTimes) / median(floorTimes));
    std::printf("quarlin ping:                       %8.2f ms median of 31\n", 1000 * median(pingTimes));
    std::printf("quarlin disks --json:               %8.2f ms median of 31\n", 1000 * median(disksTimes));
    std::printf("lsblk -J (same columns):            %8.2f ms median of 31\n", 1000 * median(lsblkTimes));
    std::printf("ratio lsblk / quarlin disks:        %8.2f\n", median(lsblkTimes) / median(disksTimes));
    return 0;
}

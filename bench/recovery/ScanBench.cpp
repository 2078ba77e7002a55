// Scan throughput against a plain sequential read of the same cached image, and against
// PhotoRec (Debian's testdisk) on it, with each tool's count of byte-identical recoveries and
// the scan's peak resident memory. Two more lines tell the scan's own work from the writing of
// the files it finds: the scan without writing files, and a plain copy of the image into the
// folder both tools write to (what writing bytes there costs at the least).
//
//   scan_bench [IMAGE [ROUNDS]]
//
// Without IMAGE, a 512 MiB image is made once at /tmp/quarlin-scan-bench.img: an ext4 file
// system of encoder files and corpus files (some deleted), then copies of every one of them
// at 4 KiB boundaries with noise between. Each round runs each in turn (a different one first
// each round); medians are printed with their ratios.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Run {
    double seconds = 0;
    long maxResidentKiB = 0;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Run runProgram(const std::vector<std::string>& arguments) {
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) {
        std::fprintf(stderr, "%s failed\n", arguments[0].c_str());
        std::exit(1);
    }
    return {now() - start, usage.ru_maxrss};
}

// Reads the image, and writes it to `copy` when one is named.
Run plainRead(const std::string& image, const fs::path& copy = {}) {
    const double start = now();
    const int fd = ::open(image.c_str(), O_RDONLY);
    const int out = copy.empty() ? -1 : ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // Page-aligned, as dd's and cat's buffers are: a heap vector starts 16 bytes into a page,
    // where this machine's processor copies out of the page cache at half the speed.
    constexpr std::size_t kBuffer = 16 << 20;
    const std::unique_ptr<char, void (*)(char*)> buffer(
        static_cast<char*>(::operator new(kBuffer, std::align_val_t{4096})),
        [](char* p) { ::operator delete(p, std::align_val_t{4096}); });
    for (ssize_t n; (n = ::read(fd, buffer.get(), kBuffer)) > 0;) {
        if (out >= 0 && ::write(out, buffer.get(), static_cast<std::size_t>(n)) != n) {
            std::fprintf(stderr, "cannot write %s\n", copy.c_str());
            std::exit(1);
        }
    }
    ::close(fd);
    if (out >= 0) ::close(out);
    return {now() - start, 0};
}

std::string bytesAt(const std::string& image, std::uint64_t offset, std::uint64_t length) {
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    return bytes;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Manifest files whose bytes a tool wrote exactly, found by the start offset the tool names
// each file by (quarlin: byte offset in hex; PhotoRec: f<sector>.ext).
int byteIdentical(const std::string& image, const nlohmann::json& manifest, const fs::path& folder,
                  const std::function<std::optional<std::uint64_t>(const std::string&)>& offsetOfName) {
    std::map<std::uint64_t, fs::path> byOffset;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        if (auto offset = offsetOfName(entry.path().filename().string())) byOffset[*offset] = entry.path();
    }
    int identical = 0;
    for (const auto& file : manifest) {
        if (file["expect"] != "intact" || !file.contains("offset")) continue;
        auto it = byOffset.find(file["offset"].get<std::uint64_t>());
        if (it == byOffset.end()) continue;
        if (fileBytes(it->second) == bytesAt(image, file["offset"], file["length"])) ++identical;
    }
    return identical;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = argc > 1 ? argv[1] : "/tmp/quarlin-scan-bench.img";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (!fs::exists(image)) {
        const std::string make = "python3 " QUARLIN_SOURCE_DIR "/src/cli/sample/make_recovery_disk.py " + image +
                                 " --size-mib 32 --fill-mib 480 --seconds 20 --corpus " QUARLIN_SOURCE_DIR "/../shared/corpus";
        if (std::system(make.c_str()) != 0) return 1;
    }
    const auto manifest = nlohmann::json::parse(fileBytes(image + ".manifest.json"));
    const bool havePhotoRec = std::system("command -v photorec >/dev/null 2>&1") == 0;
    const double size = static_cast<double>(fs::file_size(image));
    // Both tools write their files to memory where it can (/dev/shm), so that the file system
    // that takes them (its inode allocator above all) is not what is measured.
    const fs::path work = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) / "quarlin-scan-bench";
    plainRead(image);  // into the page cache

    std::vector<double> plain, scan, photorec, copy, scanOnly;
    long scanRSS = 0, photorecRSS = 0;
    int scanIdentical = 0, photorecIdentical = 0, intact = 0;
    for (const auto& file : manifest) intact += file["expect"] == "intact" && file.contains("offset");
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::function<void()>> methods = {
            [&] { plain.push_back(plainRead(image).seconds); },
            [&] {
                fs::create_directories(work);
                copy.push_back(plainRead(image, work / "copy").seconds);
                fs::remove(work / "copy");
            },
            [&] {
                fs::remove_all(work / "report-only");
                scanOnly.push_back(runProgram({QUARLIN_PATH, "scan", image, "--out", (work / "report-only").string(), "--no-files"}).seconds);
            },
            [&] {
                fs::remove_all(work / "quarlin");
                const Run run = runProgram({QUARLIN_PATH, "scan", image, "--out", (work / "quarlin").string()});
                scan.push_back(run.seconds);
                scanRSS = std::max(scanRSS, run.maxResidentKiB);
            },
            [&] {
                if (!havePhotoRec) return;
                fs::remove_all(work / "photorec");
                fs::create_directories(work / "photorec");
                const Run run = runProgram({"photorec", "/log", "/d", (work / "photorec" / "out").string(), "/cmd", image,
                                            "partition_none,options,paranoid,fileopt,everything,enable,search"});
                photorec.push_back(run.seconds);
                photorecRSS = std::max(photorecRSS, run.maxResidentKiB);
            },
        };
        std::rotate(methods.begin(), methods.begin() + round % methods.size(), methods.end());
        for (auto& method : methods) method();
    }
    scanIdentical = byteIdentical(image, manifest, work / "quarlin", [](const std::string& name) -> std::optional<std::uint64_t> {
        if (name.size() < 17 || name[16] != '.') return std::nullopt;
        return std::strtoull(name.substr(0, 16).c_str(), nullptr, 16);
    });
    if (havePhotoRec)
        photorecIdentical = byteIdentical(image, manifest, work / "photorec", [](const std::string& name) -> std::optional<std::uint64_t> {
            if (name.size() < 3 || name[0] != 'f' || !std::isdigit(static_cast<unsigned char>(name[1]))) return std::nullopt;
            return std::strtoull(name.c_str() + 1, nullptr, 10) * 512;
        });

    const double plainRate = size / median(plain) / 1e9, scanRate = size / median(scan) / 1e9;
    std::printf("image %s: %.0f MiB, %d intact files placed, %d rounds, medians\n", image.c_str(), size / (1 << 20), intact, rounds);
    std::printf("%-28s %8.3f GB/s\n", "plain sequential read", plainRate);
    std::printf("%-28s %8.3f GB/s  %.3f of the plain read  %d byte-identical  peak RSS %ld MiB\n", "quarlin scan", scanRate,
                scanRate / plainRate, scanIdentical, scanRSS / 1024);
    std::printf("%-28s %8.3f GB/s  %.3f of the plain read\n", "quarlin scan --no-files", size / median(scanOnly) / 1e9,
                size / median(scanOnly) / 1e9 / plainRate);
    std::printf("%-28s %8.3f GB/s  %.3f of the plain read (into %s)\n", "plain copy", size / median(copy) / 1e9,
                size / median(copy) / 1e9 / plainRate, work.c_str());
    if (havePhotoRec) {
        const double photorecRate = size / median(photorec) / 1e9;
        std::printf("%-28s %8.3f GB/s  scan is %.2f times its throughput  %d byte-identical  peak RSS %ld MiB\n",
                    "photorec", photorecRate, scanRate / photorecRate, photorecIdentical, photorecRSS / 1024);
    } else {
        std::printf("photorec: not installed (apt-get install testdisk)\n");
    }

    // What grows with the number of files: a source of 300,000 gzip files, one every 512 bytes,
    // scanned without writing files, and its report read back by recover (with an id it lacks,
    // so that only the reading is measured).
    const std::string many = "/tmp/quarlin-scan-bench-many.img";
    constexpr int kManyFiles = 300000;
    if (!fs::exists(many)) {
        if (std::system("printf 'hello world\\n' | gzip -n -c > /tmp/quarlin-one.gz") != 0) return 1;
        std::string member = fileBytes("/tmp/quarlin-one.gz");
        member.resize(512, '\0');
        std::ofstream out(many, std::ios::binary);
        for (int i = 0; i < kManyFiles; ++i) out << member;
    }
    fs::remove_all(work / "many");
    const Run manyScan = runProgram({QUARLIN_PATH, "scan", many, "--out", (work / "many").string(), "--no-files"});
    const Run manyRead = runProgram({QUARLIN_PATH, "recover", (work / "many" / "report.json").string(), "--to",
                                     (work / "many-out").string(), "--ids", "00000000-0000-0000-0000-000000000000"});
    std::printf("%d small files: scan %.1f s, peak RSS %ld MiB; its report read by recover: %.1f s, peak RSS %ld MiB\n",
                kManyFiles, manyScan.seconds, manyScan.maxResidentKiB / 1024, manyRead.seconds, manyRead.maxResidentKiB / 1024);
    fs::remove_all(work);
    return 0;
}

// One disk listing as the helper answers it (a new service, enumerateDisks(), conversion
// and JSON encoding) against lsblk listing the same columns, in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <string>

#include "DiskAccess/DiskArbitrationService.h"
#include "HelperProtocol/HelperDiskInfo.h"

namespace {

void BM_EnumerateDisksAndEncode(benchmark::State& state) {
    std::size_t disks = 0;
    for (auto _ : state) {
        quarlin::DiskArbitrationService service;
        auto found = quarlin::runtime::runBlocking(service.enumerateDisks());
        std::vector<quarlin::HelperDiskInfo> records;
        records.reserve(found.size());
        for (const auto& d : found)
            records.push_back({d.bsdName, d.filesystemType, d.mountPoint, d.isWholeDisk, d.isInternal, d.isRemovable,
                               d.connectionType, d.totalBytes});
        auto json = quarlin::encodeHelperDiskInfoList(records);
        benchmark::DoNotOptimize(json.data());
        disks = found.size();
    }
    state.counters["disks"] = static_cast<double>(disks);
}
BENCHMARK(BM_EnumerateDisksAndEncode)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Lsblk(benchmark::State& state) {
    for (auto _ : state) {
        FILE* pipe = ::popen("lsblk -J -b -o NAME,FSTYPE,MOUNTPOINT,SIZE,RM,TRAN", "r");
        if (!pipe) {
            state.SkipWithError("lsblk could not be started");
            break;
        }
        std::string output;
        std::array<char, 4096> buffer{};
        while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
        if (::pclose(pipe) != 0) {
            state.SkipWithError("lsblk failed");
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
}
BENCHMARK(BM_Lsblk)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

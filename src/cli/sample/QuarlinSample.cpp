// Opens a disk image (by default the sample the build writes) through the raw disk block
// reader and shows its geometry and block 0 as hex.
//
//   quarlin-sample [IMAGE]
#include <cctype>
#include <cstdio>
#include <exception>
#include <string>

#include "DiskAccess/RawDiskBlockReader.h"
#include "QuarlinCore/io/IOError.h"

namespace {

// Sixteen bytes a line: offset, hex, and the printable characters.
void printHex(const quarlin::Data& bytes) {
    for (std::size_t line = 0; line < bytes.size(); line += 16) {
        std::printf("%08zx ", line);
        std::string text;
        for (std::size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                const auto value = std::to_integer<unsigned>(bytes[i]);
                std::printf("%s%02x", i == line + 8 ? "  " : " ", value);
                text.push_back(std::isprint(static_cast<int>(value)) ? static_cast<char>(value) : '.');
            } else {
                std::printf("%s  ", i == line + 8 ? "    " : " ");
            }
        }
        std::printf("  |%s|\n", text.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [IMAGE]\n", argv[0]);
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : QUARLIN_SAMPLE_IMAGE;
    try {
        quarlin::RawDiskBlockReader reader(path, 512, std::nullopt);
        const std::uint64_t blocks = quarlin::runtime::runBlocking(reader.totalBlocks());
        std::printf("Disk image: %s\n", path.c_str());
        std::printf("Block size: %lld bytes\n", static_cast<long long>(reader.blockSize()));
        std::printf("Block count: %llu\n", static_cast<unsigned long long>(blocks));
        if (blocks == 0) {
            std::printf("The image has no whole block.\n");
            return 0;
        }
        const quarlin::Data block0 = quarlin::runtime::runBlocking(reader.readBlocks(0, 1));
        std::printf("Block 0:\n");
        printHex(block0);
    } catch (const quarlin::IOError& error) {
        std::fprintf(stderr, "quarlin-sample: %s\n", error.errorDescription().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quarlin-sample: %s\n", error.what());
        return 1;
    }
    return 0;
}

// Writes the sample disk image: 1 MiB of 512-byte blocks whose block 0 is a master boot
// record with one Linux partition, so the dump of block 0 is recognisable at a glance.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kBlockSize = 512;
constexpr std::size_t kBlocks = 2048;
constexpr std::uint32_t kPartitionStart = 64;

void putLE32(std::vector<unsigned char>& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    std::vector<unsigned char> image(kBlockSize * kBlocks, 0);

    // Block 0: a jump over the boot area, a label, one partition entry and the signature.
    const unsigned char jump[] = {0xEB, 0x3C, 0x90};
    std::memcpy(image.data(), jump, sizeof jump);
    const char label[] = "QUARLIN SAMPLE DISK";
    std::memcpy(image.data() + 3, label, sizeof label - 1);
    const std::size_t entry = 446;
    image[entry + 0] = 0x80;  // active
    image[entry + 4] = 0x83;  // Linux
    putLE32(image, entry + 8, kPartitionStart);
    putLE32(image, entry + 12, static_cast<std::uint32_t>(kBlocks) - kPartitionStart);
    image[510] = 0x55;
    image[511] = 0xAA;

    // Every later block names itself, so a read of the wrong block is easy to spot.
    for (std::size_t block = 1; block < kBlocks; ++block) {
        char text[32];
        const int length = std::snprintf(text, sizeof text, "block %zu", block);
        std::memcpy(image.data() + block * kBlockSize, text, static_cast<std::size_t>(length));
    }

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(image.data(), 1, image.size(), out) != image.size() || std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

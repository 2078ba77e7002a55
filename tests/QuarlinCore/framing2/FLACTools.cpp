#include "FLACTools.h"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>

#include "QuarlinCore/framing/FLACFraming.h"

namespace quarlin::testsupport {

std::vector<AnalyzedFrame> analyze(const ScratchDir& dir, const std::string& flacName) {
    EXPECT_TRUE(dir.run("flac -s -f -a -o analysis.txt " + flacName)) << dir.lastLog();
    std::ifstream in(dir / "analysis.txt");
    std::vector<AnalyzedFrame> frames;
    for (std::string line; std::getline(in, line);) {
        if (!line.starts_with("frame=")) continue;
        AnalyzedFrame frame;
        frame.offset = std::stoll(line.substr(line.find("offset=") + 7));
        frame.blockSize = std::stoll(line.substr(line.find("blocksize=") + 10));
        frames.push_back(frame);
    }
    return frames;
}

std::vector<std::byte> toVariableBlockSize(std::span<const std::byte> fixed,
                                           const std::vector<AnalyzedFrame>& frames) {
    std::vector<std::byte> out(fixed.begin(), fixed.begin() + frames.front().offset);
    std::uint64_t firstSample = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto start = static_cast<std::size_t>(frames[i].offset);
        const auto end =
            i + 1 < frames.size() ? static_cast<std::size_t>(frames[i + 1].offset) : fixed.size();
        const auto old = FLACFraming::parseFrameHeader(fixed, frames[i].offset, std::nullopt);
        if (!old) {
            ADD_FAILURE() << "no frame header at " << start;
            return {};
        }
        const auto lead = std::to_integer<std::uint8_t>(fixed[start + 4]);
        const std::size_t oldCoded =
            lead < 0x80 ? 1 : static_cast<std::size_t>(std::countl_one(lead));
        std::vector<std::byte> frame(fixed.begin() + static_cast<std::ptrdiff_t>(start),
                                     fixed.begin() + static_cast<std::ptrdiff_t>(start + 4));
        frame[1] |= std::byte{0x01};
        // UTF-8-like coding of the first sample number.
        if (firstSample < 0x80) {
            frame.push_back(static_cast<std::byte>(firstSample));
        } else {
            int length = 2;
            while (length < 7 && firstSample >= (std::uint64_t{1} << (5 * length + 1))) ++length;
            frame.push_back(static_cast<std::byte>(((0xFF00U >> length) & 0xFFU) |
                                                   (firstSample >> (6 * (length - 1)))));
            for (int k = length - 2; k >= 0; --k)
                frame.push_back(static_cast<std::byte>(0x80U | ((firstSample >> (6 * k)) & 0x3FU)));
        }
        const std::size_t oldHeaderRest = start + 4 + oldCoded;
        const std::size_t oldCRC8 = start + static_cast<std::size_t>(old->byteCount) - 1;
        frame.insert(frame.end(), fixed.begin() + static_cast<std::ptrdiff_t>(oldHeaderRest),
                     fixed.begin() + static_cast<std::ptrdiff_t>(oldCRC8));
        frame.push_back(static_cast<std::byte>(
            FLACFraming::crc8(frame, 0, static_cast<std::int64_t>(frame.size()))));
        frame.insert(frame.end(), fixed.begin() + static_cast<std::ptrdiff_t>(oldCRC8 + 1),
                     fixed.begin() + static_cast<std::ptrdiff_t>(end - 2));
        const auto crc = FLACFraming::crc16(frame, 0, static_cast<std::int64_t>(frame.size()));
        frame.push_back(static_cast<std::byte>(crc >> 8));
        frame.push_back(static_cast<std::byte>(crc & 0xFF));
        out.insert(out.end(), frame.begin(), frame.end());
        firstSample += static_cast<std::uint64_t>(frames[i].blockSize);
    }
    return out;
}

}  // namespace quarlin::testsupport

#include "QuarlinCore/framing/ByteReader.h"

namespace quarlin {

ByteReaderError::ByteReaderError(OutOfBounds value)
    : value_(value),
      description_("Read of " + std::to_string(value.length) + " byte(s) at offset " +
                   std::to_string(value.offset) + " is out of bounds (buffer is " +
                   std::to_string(value.bufferSize) + " bytes).") {}

void ByteReader::seek(std::int64_t target) {
    if (target < 0 || target > size()) throwOutOfBounds(target, 0, size());
    offset_ = target;
}

void ByteReader::throwOutOfBounds(std::int64_t at, std::int64_t length, std::int64_t bufferSize) {
    throw ByteReaderError::outOfBounds(at, length, bufferSize);
}

}  // namespace quarlin

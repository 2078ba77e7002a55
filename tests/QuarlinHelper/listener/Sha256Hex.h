// The SHA-256 of a run of bytes in lower-case hex, as the test client reports what it read
// and the tests compute what it should have read.
#pragma once

#include <openssl/evp.h>

#include <iomanip>
#include <sstream>
#include <string>

template <class Bytes>
std::string sha256Hex(const Bytes& bytes) {
    static_assert(sizeof(*bytes.data()) == 1);
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::ostringstream out;
    for (unsigned i = 0; i < length; ++i) out << std::hex << std::setw(2) << std::setfill('0') << int(digest[i]);
    return out.str();
}

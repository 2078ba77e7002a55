// A 128-bit UUID with its canonical 36-character text form (upper-case when written,
// either case read).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quarlin {

class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // Accepts exactly 8-4-4-4-12 hexadecimal digits with hyphens, digits of either case.
    static std::optional<UUID> parse(std::string_view text);
    // A new random (version 4) UUID.
    static UUID random();

    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const UUID&, const UUID&) = default;
    friend auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

}  // namespace quarlin

template <>
struct std::hash<quarlin::UUID> {
    std::size_t operator()(const quarlin::UUID& uuid) const noexcept;
};

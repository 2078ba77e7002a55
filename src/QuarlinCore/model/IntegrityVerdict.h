// How intact a recovered file looks. Its JSON reading is lenient: a type string it does
// not know reads as unknown instead of failing.
#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <variant>

namespace quarlin {

class IntegrityVerdict {
public:
    struct LooksIntact {
        friend bool operator==(const LooksIntact&, const LooksIntact&) = default;
    };
    struct MayBePartial {
        std::string reason;
        friend bool operator==(const MayBePartial&, const MayBePartial&) = default;
    };
    struct Failed {
        std::string reason;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    struct Unknown {
        friend bool operator==(const Unknown&, const Unknown&) = default;
    };
    // The alternatives stand in the cases' order, so index() is the case's order number.
    using Case = std::variant<LooksIntact, MayBePartial, Failed, Unknown>;

    static IntegrityVerdict looksIntact() { return IntegrityVerdict(LooksIntact{}); }
    static IntegrityVerdict mayBePartial(std::string reason) { return IntegrityVerdict(MayBePartial{std::move(reason)}); }
    static IntegrityVerdict failed(std::string reason) { return IntegrityVerdict(Failed{std::move(reason)}); }
    static IntegrityVerdict unknown() { return IntegrityVerdict(Unknown{}); }

    const Case& value() const { return value_; }

    friend bool operator==(const IntegrityVerdict&, const IntegrityVerdict&) = default;

private:
    explicit IntegrityVerdict(Case value) : value_(std::move(value)) {}
    Case value_;
};

}  // namespace quarlin

// The case's order number (0-3), then the reason for the two cases that carry one.
template <>
struct std::hash<quarlin::IntegrityVerdict> {
    std::size_t operator()(const quarlin::IntegrityVerdict& verdict) const noexcept;
};

// {"type": "looksIntact" | "mayBePartial" | "failed" | "unknown"}, with "reason" for the
// two cases that carry one (required when reading them).
template <>
struct nlohmann::adl_serializer<quarlin::IntegrityVerdict> {
    static quarlin::IntegrityVerdict from_json(const nlohmann::json& j);
    static void to_json(nlohmann::json& j, const quarlin::IntegrityVerdict& verdict);
    static void to_json(nlohmann::ordered_json& j, const quarlin::IntegrityVerdict& verdict);
};

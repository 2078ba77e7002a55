#include "QuarlinCore/model/IntegrityVerdict.h"

#include <nlohmann/json.hpp>

#include "QuarlinCore/io/Hashing.h"
#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {
namespace {

const std::string* reasonOf(const IntegrityVerdict& verdict) {
    if (const auto* partial = std::get_if<IntegrityVerdict::MayBePartial>(&verdict.value())) return &partial->reason;
    if (const auto* failed = std::get_if<IntegrityVerdict::Failed>(&verdict.value())) return &failed->reason;
    return nullptr;
}

template <class Json>
void writeVerdict(Json& j, const IntegrityVerdict& verdict) {
    static constexpr const char* kTypes[] = {"looksIntact", "mayBePartial", "failed", "unknown"};
    j = Json::object();
    j["type"] = kTypes[verdict.value().index()];
    if (const std::string* reason = reasonOf(verdict)) j["reason"] = validUTF8(*reason);
}

}  // namespace
}  // namespace quarlin

std::size_t std::hash<quarlin::IntegrityVerdict>::operator()(const quarlin::IntegrityVerdict& verdict) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, verdict.value().index());
    if (const std::string* reason = quarlin::reasonOf(verdict)) quarlin::hashCombine(seed, *reason);
    return seed;
}

quarlin::IntegrityVerdict nlohmann::adl_serializer<quarlin::IntegrityVerdict>::from_json(const nlohmann::json& j) {
    using quarlin::IntegrityVerdict;
    const std::string type = quarlin::requiredString(j, "type");
    if (type == "looksIntact") return IntegrityVerdict::looksIntact();
    if (type == "mayBePartial") return IntegrityVerdict::mayBePartial(quarlin::requiredString(j, "reason"));
    if (type == "failed") return IntegrityVerdict::failed(quarlin::requiredString(j, "reason"));
    return IntegrityVerdict::unknown();
}

void nlohmann::adl_serializer<quarlin::IntegrityVerdict>::to_json(nlohmann::json& j,
                                                                   const quarlin::IntegrityVerdict& verdict) {
    quarlin::writeVerdict(j, verdict);
}

void nlohmann::adl_serializer<quarlin::IntegrityVerdict>::to_json(nlohmann::ordered_json& j,
                                                                   const quarlin::IntegrityVerdict& verdict) {
    quarlin::writeVerdict(j, verdict);
}

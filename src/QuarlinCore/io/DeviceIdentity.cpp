#include "QuarlinCore/io/DeviceIdentity.h"

#include <nlohmann/json.hpp>

#include "QuarlinCore/io/Hashing.h"
#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {

namespace {

template <class Json>
void write(Json& j, const DeviceIdentity& identity) {
    j = Json::object();
    j["physicalDeviceID"] = validUTF8(identity.physicalDeviceID);
    if (identity.volumeUUID) j["volumeUUID"] = identity.volumeUUID->uuidString();
    j["displayName"] = validUTF8(identity.displayName);
}

}  // namespace

void to_json(nlohmann::json& j, const DeviceIdentity& identity) { write(j, identity); }
void to_json(nlohmann::ordered_json& j, const DeviceIdentity& identity) { write(j, identity); }

void from_json(const nlohmann::json& j, DeviceIdentity& identity) {
    DeviceIdentity decoded{requiredString(j, "physicalDeviceID"), optionalUUID(j, "volumeUUID"),
                           requiredString(j, "displayName")};
    identity = std::move(decoded);
}

}  // namespace quarlin

std::size_t std::hash<quarlin::DeviceIdentity>::operator()(
    const quarlin::DeviceIdentity& identity) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, identity.physicalDeviceID);
    quarlin::hashCombine(seed, identity.volumeUUID);
    quarlin::hashCombine(seed, identity.displayName);
    return seed;
}

#include "QuarlinCore/model/DataLayout.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "QuarlinCore/io/Hashing.h"
#include "QuarlinCore/io/JSONSupport.h"

namespace quarlin {
namespace {

template <class Json>
void writeExtent(Json& j, const DataExtent& extent) {
    j = Json::object();
    j["volumeByteOffset"] = extent.volumeByteOffset;
    j["byteLength"] = extent.byteLength;
}

template <class Json>
void writeLayout(Json& j, const DataLayout& layout) {
    j = Json::object();
    if (const auto* resident = std::get_if<DataLayout::Resident>(&layout.value())) {
        j["type"] = "resident";
        j["residentData"] = base64Encode(resident->bytes);
    } else {
        const auto& extents = std::get<DataLayout::Extents>(layout.value()).extents;
        j["type"] = "extents";
        Json array = Json::array();
        for (const auto& extent : extents) array.push_back(extent);
        j["extents"] = std::move(array);
    }
}

}  // namespace
}  // namespace quarlin

std::size_t std::hash<quarlin::DataExtent>::operator()(const quarlin::DataExtent& extent) const noexcept {
    std::size_t seed = 0;
    quarlin::hashCombine(seed, extent.volumeByteOffset);
    quarlin::hashCombine(seed, extent.byteLength);
    return seed;
}

std::size_t std::hash<quarlin::DataLayout>::operator()(const quarlin::DataLayout& layout) const noexcept {
    std::size_t seed = 0;
    if (const auto* resident = std::get_if<quarlin::DataLayout::Resident>(&layout.value())) {
        quarlin::hashCombine(seed, 0);
        const std::string_view bytes(reinterpret_cast<const char*>(resident->bytes.data()), resident->bytes.size());
        quarlin::hashCombine(seed, bytes);
    } else {
        const auto& extents = std::get<quarlin::DataLayout::Extents>(layout.value()).extents;
        quarlin::hashCombine(seed, 1);
        quarlin::hashCombine(seed, extents.size());
        for (const auto& extent : extents) {
            quarlin::hashCombine(seed, extent.volumeByteOffset);
            quarlin::hashCombine(seed, extent.byteLength);
        }
    }
    return seed;
}

quarlin::DataExtent nlohmann::adl_serializer<quarlin::DataExtent>::from_json(const nlohmann::json& j) {
    return {quarlin::requiredUInt64(j, "volumeByteOffset"), quarlin::requiredUInt64(j, "byteLength")};
}

void nlohmann::adl_serializer<quarlin::DataExtent>::to_json(nlohmann::json& j, const quarlin::DataExtent& extent) {
    quarlin::writeExtent(j, extent);
}

void nlohmann::adl_serializer<quarlin::DataExtent>::to_json(nlohmann::ordered_json& j,
                                                             const quarlin::DataExtent& extent) {
    quarlin::writeExtent(j, extent);
}

quarlin::DataLayout nlohmann::adl_serializer<quarlin::DataLayout>::from_json(const nlohmann::json& j) {
    const std::string type = quarlin::requiredString(j, "type");
    if (type == "resident") return quarlin::DataLayout::resident(quarlin::requiredData(j, "residentData"));
    if (type == "extents") {
        const auto& array = quarlin::requiredArray(j, "extents");
        std::vector<quarlin::DataExtent> extents;
        extents.reserve(array.size());
        for (const auto& element : array) extents.push_back(element.get<quarlin::DataExtent>());
        return quarlin::DataLayout::extents(std::move(extents));
    }
    throw quarlin::DecodingError("type", "Unknown DataLayout type '" + type + "'.");
}

void nlohmann::adl_serializer<quarlin::DataLayout>::to_json(nlohmann::json& j, const quarlin::DataLayout& layout) {
    quarlin::writeLayout(j, layout);
}

void nlohmann::adl_serializer<quarlin::DataLayout>::to_json(nlohmann::ordered_json& j,
                                                             const quarlin::DataLayout& layout) {
    quarlin::writeLayout(j, layout);
}

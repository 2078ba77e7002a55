// The helper's error domain: stable numeric codes and the one factory of error objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "HelperProtocol/ErrorObject.h"

namespace quarlin {

struct QuarlinHelperError {
    static constexpr std::string_view domain = "dev.vembrow.quarlin.helper.error";

    enum class Code : std::int64_t {
        permissionDenied = 1,
        deviceNotFound = 2,
        writeAccessDetected = 3,
        unknownSession = 4,
        readFailed = 5,
        outOfBounds = 6,
        general = 99,
    };

    // Exactly the seven raw values above give a code; any other gives none.
    static std::optional<Code> codeFromRawValue(std::int64_t rawValue);

    // An error object of this domain with the code's raw value and exactly one user-info
    // entry: the localized description `message`.
    static ErrorObject make(Code code, std::string message);
};

}  // namespace quarlin

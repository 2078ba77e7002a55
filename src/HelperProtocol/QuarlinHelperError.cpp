#include "HelperProtocol/QuarlinHelperError.h"

namespace quarlin {

std::optional<QuarlinHelperError::Code> QuarlinHelperError::codeFromRawValue(std::int64_t rawValue) {
    switch (rawValue) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 99:
            return static_cast<Code>(rawValue);
        default:
            return std::nullopt;
    }
}

ErrorObject QuarlinHelperError::make(Code code, std::string message) {
    return ErrorObject{std::string(domain), static_cast<std::int64_t>(code),
                       {{kLocalizedDescriptionKey, std::move(message)}}};
}

}  // namespace quarlin

// The disk list of the service. Until the platform's disk enumeration is wired in, the
// service answers with the enumeration it was given, or with a failure when it has none.
#include <exception>

#include "QuarlinHelper/QuarlinHelperService.h"

namespace quarlin {

void QuarlinHelperService::enumerateDisks(Reply<std::optional<Data>, std::optional<ErrorObject>> reply) {
    runtime::detach([enumeration = diskEnumeration_, reply = std::move(reply)]() mutable -> runtime::Task<void> {
        std::optional<Data> json;
        std::string failure;
        if (!enumeration) {
            failure = "disk enumeration is not available";
        } else {
            try {
                json = co_await enumeration();
            } catch (const std::exception& e) {
                failure = e.what();
            } catch (...) {
                failure = "unknown error";
            }
        }
        if (json) {
            reply(std::move(json), std::nullopt);
        } else {
            reply(std::nullopt,
                  QuarlinHelperError::make(QuarlinHelperError::Code::general, "Enumeration failed: " + failure));
        }
    });
}

}  // namespace quarlin

// The code-signing services the requirement builders rely on: the running process's code,
// its on-disk code and that code's signing information. Statuses follow the convention of
// signed 32-bit codes, 0 for success. Handles are owned by their unique_ptr, so each is
// released exactly once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace quarlin::platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
// The file is there but could not be read (too many open files, an I/O error, ...).
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSInternalError = -67072;

// The flag that asks for the signing information.
inline constexpr std::uint32_t kSecCSSigningInformation = 2;
inline constexpr const char* kSecCodeInfoTeamIdentifier = "teamid";
inline constexpr const char* kSecCodeInfoIdentifier = "identifier";

struct SecCode {
    std::string executablePath;
};
struct SecStaticCode {
    std::string path;
};

// Values of the information dictionary are text or numbers, as the services make them.
using SigningInfoValue = std::variant<std::string, std::int64_t>;
using SigningInformationDictionary = std::map<std::string, SigningInfoValue>;

class CodeSigningServices {
public:
    virtual ~CodeSigningServices() = default;
    virtual OSStatus copySelf(std::uint32_t flags, std::unique_ptr<SecCode>& code) = 0;
    virtual OSStatus copyStaticCode(const SecCode& code, std::uint32_t flags,
                                    std::unique_ptr<SecStaticCode>& staticCode) = 0;
    virtual OSStatus copySigningInformation(const SecStaticCode& staticCode, std::uint32_t flags,
                                            std::unique_ptr<SigningInformationDictionary>& information) = 0;
};

// The services of this machine: the running process is /proc/self/exe, its signing
// information is read from the file's signature block without validating it.
class SystemCodeSigningServices final : public CodeSigningServices {
public:
    explicit SystemCodeSigningServices(std::string selfExecutable = "/proc/self/exe")
        : selfExecutable_(std::move(selfExecutable)) {}
    OSStatus copySelf(std::uint32_t flags, std::unique_ptr<SecCode>& code) override;
    OSStatus copyStaticCode(const SecCode& code, std::uint32_t flags,
                            std::unique_ptr<SecStaticCode>& staticCode) override;
    OSStatus copySigningInformation(const SecStaticCode& staticCode, std::uint32_t flags,
                                    std::unique_ptr<SigningInformationDictionary>& information) override;

private:
    std::string selfExecutable_;
};

// The process-wide services the builders use unless given others.
CodeSigningServices& systemCodeSigningServices();

}  // namespace quarlin::platform

// Certificate authorities, teams and signed copies of executables for tests, made with
// the openssl command in a temporary folder of the test's own.
#pragma once

#include <filesystem>
#include <string>

namespace quarlin::testing {

std::filesystem::path makeTemporaryDirectory(const std::string& prefix);

struct SigningIdentity {
    std::string certificatePath;
    std::string keyPath;
    std::string chainPath;  // intermediates to embed; empty when issued by the root
};

class TestCertificateAuthority {
public:
    // A self-signed root named `name` in `directory`.
    TestCertificateAuthority(std::filesystem::path directory, std::string name);

    const std::string& anchorPath() const { return anchorPath_; }
    // A signing certificate with subject OU `team` (none when empty).
    SigningIdentity issue(const std::string& team, const std::string& commonName) const;
    // A signing certificate issued by an intermediate CA that this root issued.
    SigningIdentity issueThroughIntermediate(const std::string& team, const std::string& commonName) const;

private:
    std::string keyIdentifiers() const;

    std::filesystem::path directory_;
    std::string name_;
    std::string anchorPath_;
    std::string keyPath_;
};

// Copies `source` to `destination` (executable) and signs the copy.
void signedCopy(const std::filesystem::path& source, const std::filesystem::path& destination,
                const std::string& identifier, const SigningIdentity& identity);
void plainCopy(const std::filesystem::path& source, const std::filesystem::path& destination);
void signInPlace(const std::filesystem::path& file, const std::string& identifier, const SigningIdentity& identity);

}  // namespace quarlin::testing

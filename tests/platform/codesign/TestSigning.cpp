#include "TestSigning.h"


#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/PeerCode.h"

namespace quarlin::testing {
namespace fs = std::filesystem;
namespace {

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

std::string text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string subject(const std::string& team, const std::string& commonName) {
    std::string s = "/O=Quarlin Tests";
    if (!team.empty()) s += "/OU=" + team;
    return s + "/CN=" + commonName;
}

}  // namespace

fs::path makeTemporaryDirectory(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

TestCertificateAuthority::TestCertificateAuthority(fs::path directory, std::string name)
    : directory_(std::move(directory)), name_(std::move(name)) {
    anchorPath_ = (directory_ / (name_ + "-root.pem")).string();
    keyPath_ = (directory_ / (name_ + "-root.key")).string();
    run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '/O=Quarlin Tests/CN=" +
        name_ + " Root' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -keyout '" +
        keyPath_ + "' -out '" + anchorPath_ + "'");
}

// Key identifiers in issued certificates, so that a chain finds the one anchor that signed
// it among anchors of the same name.
std::string TestCertificateAuthority::keyIdentifiers() const {
    const std::string path = (directory_ / (name_ + "-leaf.ext")).string();
    std::ofstream(path) << "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n";
    return path;
}

SigningIdentity TestCertificateAuthority::issue(const std::string& team, const std::string& commonName) const {
    std::string base = (directory_ / (name_ + "-" + commonName)).string();
    run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '" + subject(team, commonName) +
        "' -keyout '" + base + ".key' -out '" + base + ".csr'");
    run("openssl x509 -req -in '" + base + ".csr' -CA '" + anchorPath_ + "' -CAkey '" + keyPath_ +
        "' -CAcreateserial -days 30 -extfile '" + keyIdentifiers() + "' -out '" + base + ".pem'");
    return SigningIdentity{base + ".pem", base + ".key", ""};
}

SigningIdentity TestCertificateAuthority::issueThroughIntermediate(const std::string& team,
                                                                   const std::string& commonName) const {
    std::string mid = (directory_ / (name_ + "-intermediate")).string();
    std::string extensions = mid + ".ext";
    std::ofstream(extensions) << "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n"
                                 "subjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid:always\n";
    run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/O=Quarlin Tests/CN=" + name_ +
        " Intermediate' -keyout '" + mid + ".key' -out '" + mid + ".csr'");
    run("openssl x509 -req -in '" + mid + ".csr' -CA '" + anchorPath_ + "' -CAkey '" + keyPath_ +
        "' -CAcreateserial -days 30 -extfile '" + extensions + "' -out '" + mid + ".pem'");
    std::string base = (directory_ / (name_ + "-" + commonName)).string();
    run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '" + subject(team, commonName) +
        "' -keyout '" + base + ".key' -out '" + base + ".csr'");
    run("openssl x509 -req -in '" + base + ".csr' -CA '" + mid + ".pem' -CAkey '" + mid +
        ".key' -CAcreateserial -days 30 -extfile '" + keyIdentifiers() + "' -out '" + base + ".pem'");
    return SigningIdentity{base + ".pem", base + ".key", mid + ".pem"};
}

void signInPlace(const fs::path& file, const std::string& identifier, const SigningIdentity& identity) {
    auto bytes = platform::readWholeFile(file.string());
    if (!bytes) throw std::runtime_error(bytes.error());
    auto signedBytes = platform::signCode(*bytes, identifier, text(identity.certificatePath), text(identity.keyPath),
                                          identity.chainPath.empty() ? std::string() : text(identity.chainPath));
    if (!signedBytes) throw std::runtime_error(signedBytes.error());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(signedBytes->data()), static_cast<std::streamsize>(signedBytes->size()));
}

void plainCopy(const fs::path& source, const fs::path& destination) {
    fs::copy_file(source, destination, fs::copy_options::overwrite_existing);
    fs::permissions(destination, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

void signedCopy(const fs::path& source, const fs::path& destination, const std::string& identifier,
                const SigningIdentity& identity) {
    plainCopy(source, destination);
    signInPlace(destination, identifier, identity);
}

}  // namespace quarlin::testing

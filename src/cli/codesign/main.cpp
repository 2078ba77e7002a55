// quarlin-codesign: signs executables with the appended signature block, verifies them
// against a code requirement and shows what a signature says.
#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "platform/codesign/CodeSignature.h"
#include "platform/codesign/PeerCode.h"
#include "platform/codesign/SignatureBlock.h"

namespace {

using namespace quarlin;
using namespace quarlin::platform;

std::optional<std::string> readText(const std::string& path) {
    auto bytes = readWholeFile(path);
    if (!bytes) {
        std::cerr << "quarlin-codesign: " << bytes.error() << "\n";
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

// Replaces `path` by `bytes` through a file beside it, keeping the mode, so that a
// running copy of the program is never seen half-written.
bool replaceFile(const std::string& path, const Data& bytes) {
    struct stat st{};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0755;
    std::string temporary = path + ".signing";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            std::cerr << "quarlin-codesign: cannot write " << temporary << "\n";
            return false;
        }
    }
    if (::chmod(temporary.c_str(), mode) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        std::perror(("quarlin-codesign: " + path).c_str());
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string hex(std::span<const std::byte> bytes) {
    std::ostringstream out;
    for (std::byte b : bytes) out << std::hex << std::setw(2) << std::setfill('0') << std::to_integer<int>(b);
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Signs executables, verifies their signatures and shows them."};
    app.require_subcommand(1);

    std::string file, identifier, certificate, key, chain, output;
    auto* sign = app.add_subcommand("sign", "Sign FILE (replacing a signature it has)");
    sign->add_option("--identifier", identifier, "Signing identifier")->required();
    sign->add_option("--cert", certificate, "PEM certificate of the signer")->required()->check(CLI::ExistingFile);
    sign->add_option("--key", key, "PEM private key of the signer")->required()->check(CLI::ExistingFile);
    sign->add_option("--chain", chain, "PEM file of intermediate certificates to embed")->check(CLI::ExistingFile);
    sign->add_option("--out", output, "Write the signed file here instead of replacing FILE");
    sign->add_option("FILE", file, "File to sign")->required()->check(CLI::ExistingFile);

    std::string requirementText = "anchor apple generic";
    std::string anchors = kDefaultAnchorStorePath;
    auto* verify = app.add_subcommand("verify", "Check FILE's signature against a code requirement");
    verify->add_option("--requirement,-R", requirementText, "Code requirement text")->capture_default_str();
    verify->add_option("--anchors", anchors, "PEM file of trusted root certificates")->capture_default_str();
    verify->add_option("FILE", file, "File to verify")->required()->check(CLI::ExistingFile);

    auto* show = app.add_subcommand("show", "Print what FILE's signature says, without checking it");
    show->add_option("FILE", file, "Signed file")->required()->check(CLI::ExistingFile);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    auto bytes = readWholeFile(file);
    if (!bytes) {
        std::cerr << "quarlin-codesign: " << bytes.error() << "\n";
        return 1;
    }

    if (*sign) {
        auto certificatePEM = readText(certificate), keyPEM = readText(key);
        std::optional<std::string> chainPEM = chain.empty() ? std::optional<std::string>("") : readText(chain);
        if (!certificatePEM || !keyPEM || !chainPEM) return 1;
        auto signedBytes = signCode(*bytes, identifier, *certificatePEM, *keyPEM, *chainPEM);
        if (!signedBytes) {
            std::cerr << "quarlin-codesign: " << signedBytes.error() << "\n";
            return 1;
        }
        return replaceFile(output.empty() ? file : output, *signedBytes) ? 0 : 1;
    }

    if (*verify) {
        auto requirement = CodeRequirement::parse(requirementText);
        if (!requirement) {
            std::cerr << "quarlin-codesign: not a valid code requirement: " << requirementText << "\n";
            return 2;
        }
        auto verdict = evaluateRequirement(*bytes, *requirement, AnchorStore(anchors));
        if (!verdict) {
            std::cerr << file << ": " << verdict.error() << "\n";
            return 1;
        }
        std::cout << file << ": valid, satisfies " << requirementText << "\n";
        return 0;
    }

    auto parts = splitSignedFile(*bytes);
    auto info = readSigningInformation(*bytes);
    if (!parts || !info) {
        std::cerr << file << ": not signed\n";
        return 1;
    }
    std::cout << "Identifier: " << info->identifier << "\n"
              << "TeamIdentifier: " << info->teamIdentifier.value_or("(none)") << "\n"
              << "Signer: " << info->leafSubject << "\n"
              << "CodeLength: " << parts->directory.codeLength << "\n"
              << "CodeHash: sha256:" << hex(parts->directory.codeHash) << "\n";
    for (const auto& subject : info->certificateSubjects) std::cout << "Certificate: " << subject << "\n";
    return 0;
}

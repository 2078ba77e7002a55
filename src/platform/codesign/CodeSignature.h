// Signing an executable file, reading its signature without judging it, and evaluating a
// code requirement against it. The team identifier of a signature is the subject OU of the
// certificate that signed it; anchors are the certificates of a PEM file.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "QuarlinCore/io/Data.h"

namespace quarlin::platform {

inline constexpr const char* kDefaultAnchorStorePath = "/etc/dev.vembrow.quarlin/anchors.pem";

// What a signature says about itself, before anything is checked.
struct SigningInformation {
    std::string identifier;
    std::optional<std::string> teamIdentifier;  // leaf subject OU; absent when the leaf has none
    std::string leafSubject;                    // one-line form, for display
    std::vector<std::string> certificateSubjects;  // every certificate the signature carries
};

// Reads the signature block of `file`; none when the file is unsigned or the block is not
// well formed.
std::optional<SigningInformation> readSigningInformation(std::span<const std::byte> file);

// Signs `file` (stripping a signature it already has) with the PEM certificate and key;
// `chainPEM` may hold intermediate certificates to embed. Returns the signed bytes or a
// reason.
std::expected<Data, std::string> signCode(std::span<const std::byte> file, std::string_view identifier,
                                          std::string_view certificatePEM, std::string_view keyPEM,
                                          std::string_view chainPEM = {});

// A parsed code requirement: one or more of the clauses
//   anchor apple generic
//   identifier "I"
//   certificate leaf[subject.OU] = "T"
// joined by `and`, each at most once. Any other text does not parse.
struct CodeRequirement {
    bool anchorInStore = false;
    std::optional<std::string> identifier;
    std::optional<std::string> leafSubjectOU;

    static std::optional<CodeRequirement> parse(std::string_view text);
};

// The set of trusted root certificates, read from a PEM file at every evaluation so that a
// replaced store takes effect for the next peer.
class AnchorStore {
public:
    explicit AnchorStore(std::string path = kDefaultAnchorStorePath) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Checks that `file` carries a valid signature (its hash matches its bytes, its CMS
// signature verifies over the code directory) and satisfies `requirement`. The error is a
// reason for people; none of it is relied upon.
std::expected<void, std::string> evaluateRequirement(std::span<const std::byte> file,
                                                      const CodeRequirement& requirement,
                                                      const AnchorStore& anchors);

// The same for the open file `fd` (named `name` in reasons), read from its end: its signature
// block first, then its code hashed a piece at a time, so that memory stays small whatever
// the file's size; refused unread beyond `maxSize` bytes.
std::expected<void, std::string> evaluateRequirementOfFile(int fd, const std::string& name, std::uint64_t maxSize,
                                                            const CodeRequirement& requirement,
                                                            const AnchorStore& anchors);

}  // namespace quarlin::platform

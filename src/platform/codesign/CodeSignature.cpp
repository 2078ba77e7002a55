#include "platform/codesign/CodeSignature.h"

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/codesign/SignatureBlock.h"

namespace quarlin::platform {
namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const { Free(p); }
};
using BIOPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CMSPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
struct CertStackDeleter {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackDeleter>;

BIOPtr memoryBIO(std::span<const std::byte> bytes) {
    return BIOPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}
BIOPtr memoryBIO(std::string_view text) {
    return BIOPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string openSSLReason(std::string_view what) {
    std::string reason(what);
    if (unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        reason += ": ";
        reason += buffer;
    }
    ERR_clear_error();
    return reason;
}

std::string oneLine(const X509_NAME* name) {
    char buffer[512];
    X509_NAME_oneline(name, buffer, sizeof buffer);
    return buffer;
}

std::optional<std::string> subjectOU(X509* certificate) {
    const X509_NAME* subject = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (index < 0) return std::nullopt;
    // A second OU would make the team ambiguous: treat it as having none.
    if (X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, index) >= 0) return std::nullopt;
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) return std::nullopt;
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    if (text.find('\0') != std::string::npos) return std::nullopt;
    return text;
}

CMSPtr decodeCMS(std::span<const std::byte> der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
    if (cms && p != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
        CMS_ContentInfo_free(cms);
        return nullptr;
    }
    if (cms && OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) {
        CMS_ContentInfo_free(cms);
        return nullptr;
    }
    return CMSPtr(cms);
}

// The one certificate that made the one signer info of a signature.
X509Ptr signerCertificate(CMS_ContentInfo* cms) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
    if (!infos || sk_CMS_SignerInfo_num(infos) != 1) return nullptr;
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, 0);
    STACK_OF(X509)* certificates = CMS_get1_certs(cms);
    if (!certificates) return nullptr;
    CertStackPtr owned(certificates);
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        X509* candidate = sk_X509_value(certificates, i);
        if (CMS_SignerInfo_cert_cmp(info, candidate) == 0) {
            X509_up_ref(candidate);
            return X509Ptr(candidate);
        }
    }
    return nullptr;
}

StorePtr loadAnchors(const std::string& path, std::string& reason) {
    StorePtr store(X509_STORE_new());
    BIOPtr file(BIO_new_file(path.c_str(), "r"));
    if (!file) {
        reason = "cannot read the anchor store " + path;
        ERR_clear_error();
        return nullptr;
    }
    int count = 0;
    while (X509* certificate = PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr)) {
        X509Ptr owned(certificate);
        if (X509_STORE_add_cert(store.get(), certificate) == 1) ++count;
    }
    ERR_clear_error();
    if (count == 0) {
        reason = "the anchor store " + path + " holds no certificate";
        return nullptr;
    }
    // The signing certificate's key usage is ours to decide, not the mail profile's.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
    return store;
}

// Reads one quoted value starting at `text[pos]`; no escapes, no embedded quote.
std::optional<std::string> quoted(std::string_view text, std::size_t& pos) {
    if (pos >= text.size() || text[pos] != '"') return std::nullopt;
    std::size_t close = text.find('"', pos + 1);
    if (close == std::string_view::npos) return std::nullopt;
    std::string value(text.substr(pos + 1, close - pos - 1));
    pos = close + 1;
    return value;
}

bool literal(std::string_view text, std::size_t& pos, std::string_view word) {
    if (text.substr(pos, word.size()) != word) return false;
    pos += word.size();
    return true;
}

}  // namespace

std::optional<SigningInformation> readSigningInformation(std::span<const std::byte> file) {
    auto parts = splitSignedFile(file);
    if (!parts) return std::nullopt;
    CMSPtr cms = decodeCMS(parts->cms);
    if (!cms) {
        ERR_clear_error();
        return std::nullopt;
    }
    SigningInformation info;
    info.identifier = parts->directory.identifier;
    if (X509Ptr leaf = signerCertificate(cms.get())) {
        info.teamIdentifier = subjectOU(leaf.get());
        info.leafSubject = oneLine(X509_get_subject_name(leaf.get()));
    }
    if (STACK_OF(X509)* certificates = CMS_get1_certs(cms.get())) {
        CertStackPtr owned(certificates);
        for (int i = 0; i < sk_X509_num(certificates); ++i) {
            info.certificateSubjects.push_back(oneLine(X509_get_subject_name(sk_X509_value(certificates, i))));
        }
    }
    ERR_clear_error();
    return info;
}

std::expected<Data, std::string> signCode(std::span<const std::byte> file, std::string_view identifier,
                                          std::string_view certificatePEM, std::string_view keyPEM,
                                          std::string_view chainPEM) {
    if (identifier.empty() || identifier.size() > kMaxIdentifierLength) {
        return std::unexpected("the identifier must have 1 to " + std::to_string(kMaxIdentifierLength) +
                               " bytes");
    }
    auto certificateBIO = memoryBIO(certificatePEM);
    X509Ptr certificate(PEM_read_bio_X509(certificateBIO.get(), nullptr, nullptr, nullptr));
    if (!certificate) return std::unexpected(openSSLReason("cannot read the certificate"));
    auto keyBIO = memoryBIO(keyPEM);
    KeyPtr key(PEM_read_bio_PrivateKey(keyBIO.get(), nullptr, nullptr, nullptr));
    if (!key) return std::unexpected(openSSLReason("cannot read the private key"));
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        return std::unexpected(openSSLReason("the key does not belong to the certificate"));
    }
    CertStackPtr chain(sk_X509_new_null());
    if (!chainPEM.empty()) {
        auto chainBIO = memoryBIO(chainPEM);
        while (X509* c = PEM_read_bio_X509(chainBIO.get(), nullptr, nullptr, nullptr)) {
            sk_X509_push(chain.get(), c);
        }
        ERR_clear_error();
    }

    auto code = unsignedPart(file);
    CodeDirectory directory{std::string(identifier), code.size(), sha256(code)};
    Data encoded = directory.encode();
    auto content = memoryBIO(encoded);
    CMSPtr cms(CMS_sign(certificate.get(), key.get(), chain.get(), content.get(),
                        CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms) return std::unexpected(openSSLReason("cannot make the signature"));
    unsigned char* der = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &der);
    if (length <= 0) return std::unexpected(openSSLReason("cannot encode the signature"));
    Data signature(reinterpret_cast<std::byte*>(der), reinterpret_cast<std::byte*>(der) + length);
    OPENSSL_free(der);
    return appendSignatureBlock(code, encoded, signature);
}

std::optional<CodeRequirement> CodeRequirement::parse(std::string_view text) {
    CodeRequirement r;
    bool seenIdentifier = false, seenOU = false;
    std::size_t pos = 0;
    for (bool first = true;; first = false) {
        if (!first && !literal(text, pos, " and ")) return std::nullopt;
        if (literal(text, pos, "anchor apple generic")) {
            if (r.anchorInStore) return std::nullopt;
            r.anchorInStore = true;
        } else if (literal(text, pos, "identifier ")) {
            auto value = quoted(text, pos);
            if (seenIdentifier || !value) return std::nullopt;
            seenIdentifier = true;
            r.identifier = std::move(value);
        } else if (literal(text, pos, "certificate leaf[subject.OU] = ")) {
            auto value = quoted(text, pos);
            if (seenOU || !value) return std::nullopt;
            seenOU = true;
            r.leafSubjectOU = std::move(value);
        } else {
            return std::nullopt;
        }
        if (pos == text.size()) return r;
    }
}

namespace {

// Everything but the hash of the code: the CMS signature over the code directory, its chain to
// an anchor, the identifier and the team.
std::expected<void, std::string> evaluateBlock(const SignatureBlockParts& block, const CodeRequirement& requirement,
                                               const AnchorStore& anchors) {
    CMSPtr cms = decodeCMS(block.cms);
    if (!cms) return std::unexpected(openSSLReason("the signature is not a CMS SignedData"));
    X509Ptr leaf = signerCertificate(cms.get());
    if (!leaf) return std::unexpected("the signature does not carry exactly one signer certificate");

    StorePtr store;
    unsigned int flags = CMS_BINARY;
    if (requirement.anchorInStore) {
        std::string reason;
        store = loadAnchors(anchors.path(), reason);
        if (!store) return std::unexpected(reason);
    } else {
        flags |= CMS_NO_SIGNER_CERT_VERIFY;
    }
    auto content = memoryBIO(block.codeDirectory);
    if (CMS_verify(cms.get(), nullptr, store.get(), content.get(), nullptr, flags) != 1) {
        return std::unexpected(openSSLReason(requirement.anchorInStore
                                                 ? "the signature does not verify up to an anchor"
                                                 : "the signature does not verify"));
    }
    if (requirement.identifier && block.directory.identifier != *requirement.identifier) {
        return std::unexpected("the code is signed as \"" + block.directory.identifier + "\", not \"" +
                               *requirement.identifier + "\"");
    }
    if (requirement.leafSubjectOU) {
        auto team = subjectOU(leaf.get());
        if (!team || *team != *requirement.leafSubjectOU) {
            return std::unexpected("the signing certificate belongs to team \"" + team.value_or("") +
                                   "\", not \"" + *requirement.leafSubjectOU + "\"");
        }
    }
    return {};
}

}  // namespace

std::expected<void, std::string> evaluateRequirement(std::span<const std::byte> file,
                                                      const CodeRequirement& requirement,
                                                      const AnchorStore& anchors) {
    auto block = splitSignatureBlock(file, file.size());
    if (!block) return std::unexpected("the code is not signed");
    if (sha256(file.first(static_cast<std::size_t>(block->codeLength))) != block->directory.codeHash) {
        return std::unexpected("the code was modified after it was signed");
    }
    return evaluateBlock(*block, requirement, anchors);
}

std::expected<void, std::string> evaluateRequirementOfFile(int fd, const std::string& name, std::uint64_t maxSize,
                                                            const CodeRequirement& requirement,
                                                            const AnchorStore& anchors) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return std::unexpected("cannot read " + name + ": " + std::strerror(errno));
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > maxSize) return std::unexpected(name + " is larger than " + std::to_string(maxSize) + " bytes");
    // The block first, from the end: a file without one is refused before its code is read.
    std::vector<std::byte> tail(static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxSignatureBlockSize)));
    for (std::size_t got = 0; got < tail.size();) {
        const ssize_t n = ::pread(fd, tail.data() + got, tail.size() - got,
                                  static_cast<off_t>(size - tail.size() + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) return std::unexpected(name + " changed while it was read");
        got += static_cast<std::size_t>(n);
    }
    auto block = splitSignatureBlock(tail, size);
    if (!block) return std::unexpected("the code is not signed");
    const auto hash = sha256OfFile(fd, block->codeLength, name);
    if (!hash) return std::unexpected(hash.error());
    // A file that changed size while it was read is not the one that was measured.
    if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size) {
        return std::unexpected(name + " changed while it was read");
    }
    if (*hash != block->directory.codeHash) return std::unexpected("the code was modified after it was signed");
    return evaluateBlock(*block, requirement, anchors);
}

}  // namespace quarlin::platform

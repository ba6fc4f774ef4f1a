#include "certificates.hpp"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <memory>

namespace qm::service::detail {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

std::string opensslError(const std::string& what) {
    std::string text = what;
    unsigned long code = ERR_get_error();
    if (code != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    ERR_clear_error();
    return text;
}

Key newKey() {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    if (!ctx) return nullptr;
    EVP_PKEY* key = nullptr;
    char curve[] = "P-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string("group", curve, 0),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_PKEY_keygen_init(ctx) <= 0 || EVP_PKEY_CTX_set_params(ctx, params) <= 0 ||
        EVP_PKEY_generate(ctx, &key) <= 0) {
        key = nullptr;
    }
    EVP_PKEY_CTX_free(ctx);
    return Key(key);
}

bool addExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    if (!ext) return false;
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

bool setRandomSerial(X509* cert) {
    std::uint64_t serial = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) return false;
    serial &= 0x7fffffffffffffffULL;  // positive
    if (serial == 0) serial = 1;
    return ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1;
}

struct CertSpec {
    std::string commonName;
    bool authority = false;
    std::string subjectAltName;  // server certificates only
};

// A certificate for `key`, signed by `issuerKey` (self-signed when issuer is null).
Cert makeCertificate(const CertSpec& wanted, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    Cert cert(X509_new());
    if (!cert) return nullptr;
    X509* x = cert.get();
    if (X509_set_version(x, 2) != 1 || !setRandomSerial(x)) return nullptr;
    // Valid from a day ago, so that clocks a little behind still accept it.
    if (!X509_gmtime_adj(X509_getm_notBefore(x), -24L * 3600) ||
        !X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600)) {
        return nullptr;
    }
    if (X509_set_pubkey(x, key) != 1) return nullptr;
    X509_NAME* name = X509_get_subject_name(x);
    const auto* organisation = reinterpret_cast<const unsigned char*>("Local marketing service");
    const auto* common = reinterpret_cast<const unsigned char*>(wanted.commonName.c_str());
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, organisation, -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, common, -1, -1, 0) != 1) {
        return nullptr;
    }
    if (X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) != 1) {
        return nullptr;
    }

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
    bool ok = addExtension(x, &ctx, NID_subject_key_identifier, "hash");
    if (wanted.authority) {
        ok = ok && addExtension(x, &ctx, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && addExtension(x, &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
             addExtension(x, &ctx, NID_key_usage, "critical,digitalSignature") &&
             addExtension(x, &ctx, NID_ext_key_usage, "serverAuth") &&
             addExtension(x, &ctx, NID_authority_key_identifier, "keyid:always") &&
             addExtension(x, &ctx, NID_subject_alt_name, wanted.subjectAltName);
    }
    if (!ok) return nullptr;
    if (X509_sign(x, issuerKey, EVP_sha256()) <= 0) return nullptr;
    return cert;
}

std::optional<std::string> certificatePem(X509* cert) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return std::nullopt;
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::optional<std::string> keyPem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return std::nullopt;
    }
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

std::optional<Certificates> makeCertificates(const std::string& domain,
                                             const std::vector<std::string>& labels,
                                             std::string* error) {
    auto fail = [&](const std::string& what) -> std::optional<Certificates> {
        if (error) *error = opensslError(what);
        return std::nullopt;
    };

    Key caKey = newKey();
    Key serverKey = newKey();
    if (!caKey || !serverKey) return fail("key generation failed");

    Cert ca = makeCertificate({"Local service CA (" + domain + ")", true, {}}, caKey.get(),
                              nullptr, caKey.get());
    if (!ca) return fail("CA certificate failed");

    std::string names = "DNS:*." + domain + ",DNS:" + domain;
    for (const std::string& label : labels) names += ",DNS:" + label + "." + domain;
    names += ",DNS:localhost,IP:127.0.0.1";
    Cert server = makeCertificate({domain, false, names}, serverKey.get(), ca.get(), caKey.get());
    if (!server) return fail("server certificate failed");

    auto caText = certificatePem(ca.get());
    auto serverText = certificatePem(server.get());
    auto keyText = keyPem(serverKey.get());
    if (!caText || !serverText || !keyText) return fail("PEM encoding failed");
    return Certificates{*caText, *serverText, *keyText};
}

}  // namespace qm::service::detail

#include "http/credentials.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "util/text.h"

namespace kestrum {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isKeyCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

}  // namespace

Sha256 sha256(std::string_view bytes) {
    Sha256 hash{};
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), hash.data());
    return hash;
}

std::string sha256Hex(const Sha256& hash) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned char b : hash) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::optional<Sha256> parseSha256Hex(std::string_view text) {
    // With colons: "AB:CD:...": 32 pairs, 31 colons.
    const bool colons = text.size() == 95;
    if (text.size() != 64 && !colons)
        return std::nullopt;
    Sha256 hash{};
    size_t at = 0;
    for (size_t i = 0; i < hash.size(); ++i) {
        if (colons && i > 0) {
            if (text[at] != ':')
                return std::nullopt;
            ++at;
        }
        int high = hexDigit(text[at]);
        int low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        hash[i] = static_cast<unsigned char>(high << 4 | low);
        at += 2;
    }
    return hash;
}

std::optional<Sha256> certificateSha256(X509* certificate) {
    if (certificate == nullptr)
        return std::nullopt;
    Sha256 hash{};
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), hash.data(), &length) != 1 || length != hash.size())
        return std::nullopt;
    return hash;
}

std::string newCallerKey() {
    unsigned char random[32];
    if (RAND_bytes(random, sizeof random) != 1)
        return {};
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string key;
    key.reserve(43);
    unsigned bits = 0;
    int count = 0;
    for (unsigned char b : random) {
        bits = (bits << 8) | b;
        count += 8;
        while (count >= 6) {
            count -= 6;
            key += kAlphabet[(bits >> count) & 0x3F];
        }
    }
    if (count > 0)
        key += kAlphabet[(bits << (6 - count)) & 0x3F];
    return key;
}

bool isBearerKey(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isKeyCharacter(text[i]))
        ++i;
    if (i == 0)
        return false;
    while (i < text.size() && text[i] == '=')
        ++i;
    return i == text.size();
}

std::optional<std::string_view> bearerKey(std::string_view authorization) {
    constexpr std::string_view kScheme = "Bearer";
    if (authorization.size() <= kScheme.size() ||
        !equalsIgnoreCase(authorization.substr(0, kScheme.size()), kScheme) ||
        authorization[kScheme.size()] != ' ')
        return std::nullopt;
    std::string_view key = authorization.substr(kScheme.size());
    while (!key.empty() && key.front() == ' ')
        key.remove_prefix(1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
        key.remove_suffix(1);
    if (!isBearerKey(key))
        return std::nullopt;
    return key;
}

}  // namespace kestrum

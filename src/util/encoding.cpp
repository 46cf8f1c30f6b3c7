#include "util/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrum {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
const char* const kInternalCharset = "GB18030";

bool isAscii(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (static_cast<unsigned char>(data[i]) >= 0x80)
            return false;
    }
    return true;
}

// One iconv descriptor per (thread, direction), opened on first use and closed when the thread ends.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts `in`; every undecodable unit (`unit` bytes) becomes `replacement` (already in the target
    // charset).
    std::string run(const char* in, size_t inSize, size_t unit, std::string_view replacement) {
        std::string out;
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            return out;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        out.resize(inSize * 2 + 16);
        char* src = const_cast<char*>(in);
        size_t srcLeft = inSize;
        size_t used = 0;
        while (srcLeft > 0) {
            char* dst = out.data() + used;
            size_t dstLeft = out.size() - used;
            size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            used = out.size() - dstLeft;
            if (rc != static_cast<size_t>(-1))
                break;
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            // EILSEQ or EINVAL (truncated sequence at the end): replace one unit and go on.
            size_t skip = srcLeft < unit ? srcLeft : unit;
            src += skip;
            srcLeft -= skip;
            if (out.size() - used < replacement.size())
                out.resize(out.size() * 2 + replacement.size());
            std::memcpy(out.data() + used, replacement.data(), replacement.size());
            used += replacement.size();
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        out.resize(used);
        return out;
    }

  private:
    iconv_t cd_;
};

// U+FFFD in each target charset.
constexpr std::string_view kReplacementGb18030 = "\x84\x31\xA4\x37";
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
constexpr std::string_view kReplacementUtf16 = std::string_view("\xFD\xFF", 2);

std::string gbToUtf8(std::string_view text) {
    if (isAscii(text.data(), text.size()))
        return std::string(text);
    thread_local Converter converter("UTF-8", kInternalCharset);
    return converter.run(text.data(), text.size(), 1, kReplacementUtf8);
}

std::string utf8ToGb(std::string_view text) {
    if (isAscii(text.data(), text.size()))
        return std::string(text);
    thread_local Converter converter(kInternalCharset, "UTF-8");
    return converter.run(text.data(), text.size(), 1, kReplacementGb18030);
}

}  // namespace

std::string gbkToUtf8Bytes(std::string_view gbk) {
    std::string out(kBom);
    out += gbToUtf8(gbk);
    return out;
}

std::string utf8BytesToGbk(std::string_view utf8) {
    if (utf8.substr(0, kBom.size()) == kBom)
        utf8.remove_prefix(kBom.size());
    return utf8ToGb(utf8);
}

std::string gbkToUtf8(std::string_view gbk) {
    return gbToUtf8(gbk);
}

std::string utf8ToGbk(std::string_view utf8) {
    return utf8ToGb(utf8);
}

std::u16string textToUtf16(std::string_view text, CodePage page) {
    std::u16string out;
    if (isAscii(text.data(), text.size())) {
        out.assign(text.begin(), text.end());
        return out;
    }
    thread_local Converter fromGb("UTF-16LE", kInternalCharset);
    thread_local Converter fromUtf8("UTF-16LE", "UTF-8");
    Converter& converter = page == CodePage::Gbk ? fromGb : fromUtf8;
    std::string bytes = converter.run(text.data(), text.size(), 1, kReplacementUtf16);
    out.resize(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

std::string utf16ToText(std::u16string_view text, CodePage page) {
    bool ascii = true;
    for (char16_t unit : text) {
        if (unit >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii)
        return std::string(text.begin(), text.end());
    thread_local Converter toGb(kInternalCharset, "UTF-16LE");
    thread_local Converter toUtf8("UTF-8", "UTF-16LE");
    Converter& converter = page == CodePage::Gbk ? toGb : toUtf8;
    return converter.run(reinterpret_cast<const char*>(text.data()), text.size() * 2, 2,
                         page == CodePage::Gbk ? kReplacementGb18030 : kReplacementUtf8);
}

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

}  // namespace kestrum

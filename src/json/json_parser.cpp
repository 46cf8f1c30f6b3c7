// The lenient scanner behind JsonDocument::parse and JsonStore::load.
//
// One pass over the UTF-16 text with a stack of open containers. Keys and values are remembered as spans of
// the text (start and length) and stored when a ",", "]" or "}" ends them. Quotes may be double or single;
// text that is not quoted is trimmed and classified as null, a boolean, a number or a Literal kept verbatim.
// Mismatched brackets are not detected: the closing bracket decides whether the pending value goes in as an
// element or as a member, converting the container on top if need be.
#include <cmath>
#include <cstdlib>
#include <string>

#include "json/json_node.h"

namespace kestrum::json {
namespace {

constexpr int kOk = 0;
constexpr int kMissingKey = -4;
constexpr int kUnbalanced = -5;
constexpr int kTrailingComma = -7;
constexpr int kColonInArray = -8;

bool isTrimmed(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

std::u16string_view trim(std::u16string_view text) {
    while (!text.empty() && isTrimmed(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isTrimmed(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

constexpr char16_t kReplacementCharacter = 0xFFFD;

bool isSurrogate(int unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}
bool isHighSurrogate(int unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(int unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code unit of a "\u" escape followed by four hexadecimal digits starting at raw[at]; -1 when there is
// none there.
int readEscapedUnit(std::u16string_view raw, size_t at) {
    if (at + 5 >= raw.size() || raw[at] != u'\\' || raw[at + 1] != u'u')
        return -1;
    int unit = 0;
    for (size_t k = 2; k < 6; ++k) {
        int digit = hexValue(raw[at + k]);
        if (digit < 0)
            return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

bool isSyntax(char16_t c) {
    switch (c) {
        case u'{':
        case u'}':
        case u'[':
        case u']':
        case u':':
        case u',':
        case u'"':
        case u'\'':
        case u'\\':
            return true;
        default:
            return false;
    }
}

std::u16string unescape(std::u16string_view raw, bool decodeUnicodeEscapes) {
    if (raw.find(u'\\') == std::u16string_view::npos)
        return std::u16string(raw);
    std::u16string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        char16_t c = raw[i];
        if (c != u'\\' || i + 1 >= raw.size()) {
            out.push_back(c);
            continue;
        }
        char16_t next = raw[i + 1];
        char16_t produced = 0;
        switch (next) {
            case u'\\':
            case u'/':
            case u'"':
                produced = next;
                break;
            case u'b':
                produced = 0x08;
                break;
            case u't':
                produced = 0x09;
                break;
            case u'n':
                produced = 0x0A;
                break;
            case u'r':
                produced = 0x0D;
                break;
            case u'f':
                produced = 0x0C;
                break;
            case u'u':
                if (decodeUnicodeEscapes) {
                    int unit = readEscapedUnit(raw, i);
                    if (unit >= 0) {
                        i += 5;
                        if (!isSurrogate(unit)) {
                            out.push_back(static_cast<char16_t>(unit));
                            continue;
                        }
                        // A surrogate counts only as the first half of a pair written as two escapes;
                        // any other surrogate stands for nothing and becomes U+FFFD.
                        int low = isHighSurrogate(unit) ? readEscapedUnit(raw, i + 1) : -1;
                        if (low >= 0 && isLowSurrogate(low)) {
                            out.push_back(static_cast<char16_t>(unit));
                            out.push_back(static_cast<char16_t>(low));
                            i += 6;
                        } else {
                            out.push_back(kReplacementCharacter);
                        }
                        continue;
                    }
                }
                break;
            default:
                break;
        }
        if (produced == 0) {
            out.push_back(c);  // unknown escape: the backslash stays, the next character is read normally
            continue;
        }
        out.push_back(produced);
        ++i;
    }
    return out;
}

// The number test: "+", "-", a digit or "." first; then only digits, ".", "e", "E", "+", "-", with at most
// one
// ".", one exponent mark and one sign after the first character. Characters up to U+0020 are ignored
// anywhere.
bool looksLikeNumber(std::u16string_view text, bool& isFloat) {
    bool first = true;
    int dots = 0;
    int exponents = 0;
    int signs = 0;
    for (char16_t c : text) {
        if (c <= 0x20)
            continue;
        if (first) {
            if (!(c == u'+' || c == u'-' || c == u'.' || isDigit(c)))
                return false;
            dots += c == u'.';
            first = false;
            continue;
        }
        if (c == u'.')
            ++dots;
        else if (c == u'e' || c == u'E')
            ++exponents;
        else if (c == u'+' || c == u'-')
            ++signs;
        else if (!isDigit(c))
            return false;
    }
    isFloat = dots > 0 || exponents > 0 || signs > 0;
    return !first && dots <= 1 && exponents <= 1 && signs <= 1;
}

size_t skipBlanks(std::u16string_view text, size_t i) {
    while (i < text.size() && text[i] <= 0x20)
        ++i;
    return i;
}

// 10^k; exact (as pow would give it) up to 10^22, pow beyond.
double powerOfTen(double k) {
    static constexpr double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (k >= 0 && k <= 22)
        return kExact[static_cast<int>(k)];
    return std::pow(10.0, k);
}

// An integer read exactly: a signed 64-bit value, or an unsigned one above INT64_MAX. Digits beyond both
// ranges saturate at INT64_MAX (INT64_MIN when negative); the text as read is kept for writing either way.
void readInteger(std::u16string_view text, JsonNode& node) {
    size_t i = skipBlanks(text, 0);
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - u'0');
        if (magnitude > (UINT64_MAX - digit) / 10) {
            overflow = true;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    constexpr uint64_t kMinMagnitude = static_cast<uint64_t>(INT64_MAX) + 1;
    if (negative) {
        node.integer = overflow || magnitude >= kMinMagnitude ? INT64_MIN : -static_cast<int64_t>(magnitude);
        return;
    }
    if (overflow) {
        node.integer = INT64_MAX;
        return;
    }
    node.integer = static_cast<int64_t>(magnitude);
    node.unsignedInteger = magnitude > static_cast<uint64_t>(INT64_MAX);
}

double readFloat(std::u16string_view text) {
    size_t i = skipBlanks(text, 0);
    double sign = 1.0;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        sign = text[i++] == u'-' ? -1.0 : 1.0;
    double mantissa = 0.0;
    int fractionDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        mantissa = mantissa * 10.0 + (text[i] - u'0');
    if (i < text.size() && text[i] == u'.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i) {
            mantissa = mantissa * 10.0 + (text[i] - u'0');
            ++fractionDigits;
        }
    }
    double value = sign * mantissa / powerOfTen(fractionDigits);
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
            negativeExponent = text[i++] == u'-';
        double exponent = 0.0;
        for (; i < text.size() && isDigit(text[i]); ++i)
            exponent = exponent * 10.0 + (text[i] - u'0');
        double scale = powerOfTen(exponent);
        value = negativeExponent ? value / scale : value * scale;
    }
    if (std::isnan(value)) {
        // Only overflowing digit runs get here (infinity over infinity, zero times infinity): let the C
        // library read what the digit-by-digit sum could not.
        std::string ascii;
        for (char16_t c : text) {
            if (c > 0x20)
                ascii.push_back(static_cast<char>(c));
        }
        value = std::strtod(ascii.c_str(), nullptr);
    }
    return value;
}

// Turns trimmed unquoted text into the node it stands for.
NodePtr classify(std::u16string_view text) {
    if (text == u"null")
        return std::make_unique<JsonNode>(JsonValueType::Null);
    if (text == u"true" || text == u"false") {
        auto node = std::make_unique<JsonNode>(JsonValueType::Boolean);
        node->boolean = text == u"true";
        node->text = text;
        return node;
    }
    bool isFloat = false;
    if (looksLikeNumber(text, isFloat)) {
        auto node = std::make_unique<JsonNode>(isFloat ? JsonValueType::Float : JsonValueType::Integer);
        if (isFloat)
            node->number = readFloat(text);
        else
            readInteger(text, *node);
        node->text = text;
        return node;
    }
    auto node = std::make_unique<JsonNode>(JsonValueType::Literal);
    node->text = text;
    return node;
}

// Replaces the content of `target` by that of `source` (a freshly classified node), keeping key and place.
void assignScalar(JsonNode& target, NodePtr source) {
    resetNode(target, source->type);
    target.boolean = source->boolean;
    target.integer = source->integer;
    target.unsignedInteger = source->unsignedInteger;
    target.number = source->number;
    target.text = std::move(source->text);
}

class Scanner {
  public:
    Scanner(JsonNode& root, std::u16string_view text, bool decodeUnicodeEscapes)
        : root_(root), text_(text), n_(text.size()), decode_(decodeUnicodeEscapes) {}

    ParseOutcome run() {
        ParseOutcome outcome;
        resetNode(root_, root_.type);
        int code = kOk;
        size_t i = 0;
        for (; i <= n_; ++i) {
            char16_t c = i < n_ ? text_[i] : u'\0';
            if (i < n_ && !isSyntax(c))
                continue;  // only the terminator and the characters below ever do anything
            bool open = quote_ != 0;
            if (c == u'{' && !open) {
                code = openContainer(i, JsonValueType::Object);
            } else if (c == u'"' || c == u'\'') {
                if (quoteMark(i, c)) {
                    outcome.stop = i;
                    return outcome;
                }
            } else if (c == u':' && !open) {
                code = colon(i);
            } else if (c == u',' && !open) {
                code = comma(i);
            } else if (c == u'[' && !open) {
                code = openContainer(i, JsonValueType::Array);
            } else if (c == u']' && !open) {
                code = closeArray(i);
            } else if (c == u'}' && !open) {
                code = closeObject(i);
            } else if (c == u'\\') {
                if (i + 1 < n_ && (text_[i + 1] == u'"' || text_[i + 1] == u'\'' || text_[i + 1] == u'\\'))
                    ++i;
            } else if (i == n_ && !lastTopSet_) {
                // As for a text without any bracket or quote: the whole text is one scalar.
                assignScalar(root_, classify(trim(text_)));
            }
            if (code != kOk)
                break;
        }
        outcome.stop = i > n_ ? n_ : i;
        if (code == kOk && !stack_.empty())
            code = kUnbalanced;
        if (code != kOk) {
            stack_.clear();
            resetNode(root_, root_.type);
        }
        outcome.code = code;
        return outcome;
    }

  private:
    JsonNode* top() const { return stack_.empty() ? nullptr : stack_.back(); }
    // lastTop: the container on top when the latest bracket, quote, ":" or "," was met, or the one last
    // popped. Only whether there is one matters (see the terminator test in run()).
    void noteTop() { lastTopSet_ = !stack_.empty(); }

    void pop() {
        stack_.pop_back();
        lastTopSet_ = true;
    }

    std::u16string keyText() const { return unescape(trim(span(keyStart_, keyLength_)), decode_); }

    std::u16string_view span(int64_t start, int64_t length) const {
        if (start < 0 || length <= 0 || static_cast<size_t>(start) >= n_)
            return {};
        return text_.substr(static_cast<size_t>(start), static_cast<size_t>(length));
    }

    void resetKey(int64_t start) {
        keyStart_ = start;
        keyLength_ = 0;
        keyQuoted_ = false;
    }

    int openContainer(size_t i, JsonValueType type) {
        colonSeen_ = false;
        noteTop();
        JsonNode* parent = top();
        if (parent == nullptr) {
            if (root_.type != type)
                resetNode(root_, type);
            stack_.push_back(&root_);
        } else if (parent->type == JsonValueType::Array) {
            stack_.push_back(appendElement(*parent, std::make_unique<JsonNode>(type)));
        } else {
            // An Object needs the key the container is stored under; an Array may sit under an empty quoted
            // key.
            if (keyStart_ < 0 || (type == JsonValueType::Object && keyLength_ == 0))
                return kMissingKey;
            stack_.push_back(putMember(*parent, keyText(), std::make_unique<JsonNode>(type)));
        }
        if (type == JsonValueType::Object) {
            resetKey(static_cast<int64_t>(i) + 1);
            valueStart_ = -1;
        } else {
            resetKey(-1);
            valueStart_ = static_cast<int64_t>(i) + 1;
        }
        valueLength_ = 0;
        return kOk;
    }

    // Returns true when a quoted root text has been read completely (parsing ends there).
    bool quoteMark(size_t i, char16_t c) {
        noteTop();
        JsonNode* parent = top();
        int64_t next = static_cast<int64_t>(i) + 1;
        if (parent == nullptr) {
            if (quote_ == 0) {
                quote_ = c;
                resetKey(next);
                valueStart_ = -1;
                valueLength_ = 0;
            } else if (c == quote_) {
                // A quoted text at the top level is taken exactly as written: no unescaping, no trimming.
                std::u16string value(span(keyStart_, static_cast<int64_t>(i) - keyStart_));
                setStringValue(root_, std::move(value));
                return true;
            }
            return false;
        }
        if (parent->type == JsonValueType::Object && !colonSeen_) {
            if (quote_ == 0) {
                quote_ = c;
                resetKey(next);
                valueStart_ = -1;
                valueLength_ = 0;
            } else if (c == quote_) {
                keyLength_ = static_cast<int64_t>(i) - keyStart_;
                keyQuoted_ = true;
                quote_ = 0;
            }
            return false;
        }
        pendingString_ = true;
        if (quote_ == 0) {
            quote_ = c;
            valueStart_ = next;
        } else if (c == quote_) {
            valueLength_ = static_cast<int64_t>(i) - valueStart_;
            quote_ = 0;
        }
        return false;
    }

    int colon(size_t i) {
        if (keyStart_ < 0)
            return kMissingKey;
        noteTop();
        JsonNode* parent = top();
        if (parent == nullptr)
            return kUnbalanced;
        if (parent->type == JsonValueType::Array)
            return kColonInArray;
        colonSeen_ = true;
        valueStart_ = static_cast<int64_t>(i) + 1;
        // An unquoted key runs from its start up to the colon. (A quoted key keeps its length, even when
        // empty.)
        if (keyLength_ == 0 && !keyQuoted_)
            keyLength_ = static_cast<int64_t>(i) - keyStart_;
        return kOk;
    }

    int comma(size_t i) {
        noteTop();
        JsonNode* parent = top();
        if (parent == nullptr)
            return kUnbalanced;
        int64_t next = static_cast<int64_t>(i) + 1;
        if (valueStart_ < 0) {
            // Nothing pending, as after a nested container closed.
            valueStart_ = next;
            resetKey(parent->type == JsonValueType::Object ? next : -1);
            return kOk;
        }
        int code = storePending(*parent, i, parent->type == JsonValueType::Array);
        if (code != kOk)
            return code;
        pendingString_ = false;
        colonSeen_ = false;
        valueStart_ = next;
        resetKey(next);
        return kOk;
    }

    int closeArray(size_t i) {
        JsonNode* parent = top();
        if (parent == nullptr)
            return kUnbalanced;
        if (valueStart_ < 0) {
            pop();
            return kOk;
        }
        if (!pendingString_) {
            valueLength_ = static_cast<int64_t>(i) - valueStart_;
            std::u16string_view pending = span(valueStart_, valueLength_);
            bool blank = true;
            for (char16_t c : pending)
                blank = blank && c <= 0x20;
            if (blank && text_[static_cast<size_t>(valueStart_) - 1] != u'[')
                return kTrailingComma;
        }
        int code = storePending(*parent, i, true);
        if (code != kOk)
            return code;
        pendingString_ = false;
        colonSeen_ = false;
        resetKey(-1);
        valueStart_ = -1;
        valueLength_ = 0;
        pop();
        return kOk;
    }

    int closeObject(size_t i) {
        JsonNode* parent = top();
        if (parent == nullptr)
            return kUnbalanced;
        if (valueStart_ < 0) {
            pop();
            return kOk;
        }
        int code = storePending(*parent, i, false);
        if (code != kOk)
            return code;
        pendingString_ = false;
        colonSeen_ = false;
        keyStart_ = -1;
        valueStart_ = -1;
        pop();
        return kOk;
    }

    // Stores the value pending since valueStart_ into `parent`, as an element or as the member under the
    // pending key.
    int storePending(JsonNode& parent, size_t i, bool asElement) {
        NodePtr node;
        if (pendingString_) {
            node = std::make_unique<JsonNode>(JsonValueType::String);
            node->text = unescape(span(valueStart_, valueLength_), decode_);
        } else {
            valueLength_ = static_cast<int64_t>(i) - valueStart_;
            std::u16string_view value = trim(span(valueStart_, valueLength_));
            if (value.empty() && asElement)
                return kOk;  // nothing (or only blanks) between delimiters of an Array
            node = classify(value);
        }
        if (asElement) {
            if (parent.type != JsonValueType::Array)
                resetNode(parent, JsonValueType::Array);
            appendElement(parent, std::move(node));
            return kOk;
        }
        if (keyStart_ < 0)
            return kMissingKey;
        std::u16string key = keyText();
        if (parent.type != JsonValueType::Object)
            resetNode(parent, JsonValueType::Object);
        putMember(parent, std::move(key), std::move(node));
        return kOk;
    }

    JsonNode& root_;
    std::u16string_view text_;
    size_t n_;
    bool decode_;
    std::vector<JsonNode*> stack_;
    char16_t quote_ = 0;
    bool colonSeen_ = false;
    int64_t keyStart_ = -1;
    int64_t keyLength_ = 0;
    bool keyQuoted_ = false;
    int64_t valueStart_ = -1;
    int64_t valueLength_ = 0;
    bool pendingString_ = false;
    bool lastTopSet_ = false;
};

}  // namespace

ParseOutcome parseInto(JsonNode& root, std::u16string_view text, bool decodeUnicodeEscapes) {
    Scanner scanner(root, text, decodeUnicodeEscapes);
    return scanner.run();
}

}  // namespace kestrum::json

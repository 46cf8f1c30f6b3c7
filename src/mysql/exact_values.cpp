#include "mysql/exact_values.h"

#include <mysql.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "http/websocket_codec.h"
#include "json/json_document.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

constexpr uint32_t kBinaryCharset = 63;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal integer the server sent (a zero-filled one included); out of range saturates.
void setInteger(JsonDocument& data, const std::string& path, std::string_view text, bool isUnsigned) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    if (isUnsigned) {
        uint64_t value = 0;
        if (std::from_chars(begin, end, value).ec == std::errc::result_out_of_range)
            value = UINT64_MAX;
        data.setUint64(path, value);
        return;
    }
    int64_t value = 0;
    if (std::from_chars(begin, end, value).ec == std::errc::result_out_of_range)
        value = !text.empty() && text[0] == '-' ? INT64_MIN : INT64_MAX;
    data.setInt64(path, value);
}

bool isBinaryString(const FieldInfo& field) {
    if (field.charset != kBinaryCharset)
        return false;
    switch (field.typeCode) {
        case MYSQL_TYPE_STRING:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_GEOMETRY:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool isJsonNumber(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    if (i < n && text[i] == '-')
        ++i;
    if (i == n || !isDigit(text[i]))
        return false;
    if (text[i] == '0')
        ++i;
    else
        while (i < n && isDigit(text[i]))
            ++i;
    if (i < n && text[i] == '.') {
        ++i;
        if (i == n || !isDigit(text[i]))
            return false;
        while (i < n && isDigit(text[i]))
            ++i;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-'))
            ++i;
        if (i == n || !isDigit(text[i]))
            return false;
        while (i < n && isDigit(text[i]))
            ++i;
    }
    return i == n;
}

void setExactCell(JsonDocument& data, const std::string& path, const FieldInfo& field, std::string_view cell,
                  bool isNull) {
    if (isNull || field.typeCode == MYSQL_TYPE_NULL) {
        data.setNull(path);
        return;
    }
    switch (field.typeCode) {
        case MYSQL_TYPE_TINY:
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_INT24:
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_LONGLONG:
        case MYSQL_TYPE_YEAR:
            setInteger(data, path, cell, (field.flags & UNSIGNED_FLAG) != 0);
            return;
        case MYSQL_TYPE_BIT: {
            // Big-endian bits, at most 64.
            uint64_t value = 0;
            for (char byte : cell)
                value = (value << 8) | static_cast<unsigned char>(byte);
            data.setUint64(path, value);
            return;
        }
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE: {
            const std::string text(cell);
            const double value = std::strtod(text.c_str(), nullptr);
            if (isJsonNumber(text))
                data.setNumber(path, value, text);
            else
                data.setDouble(path, value);
            return;
        }
        default:
            break;
    }
    if (isBinaryString(field)) {
        data.setText(path, base64Encode(cell));
        return;
    }
    // DECIMAL with its scale, dates and times as the server writes them, text of every other column.
    data.setText(path, utf8ToGbk(cell));
}

}  // namespace kestrum

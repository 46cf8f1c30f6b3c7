#include "mysql/sql_request.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "json/json_document.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

// The value at `path` as a parameter, or false with `error`.
bool readParam(const JsonDocument& body, const std::string& path, SqlParam& param, std::string& error) {
    switch (static_cast<JsonValueType>(body.typeAt(path))) {
        case JsonValueType::Null:
            param = SqlParam::null();
            return true;
        case JsonValueType::Boolean:
            param = SqlParam::signedInteger(body.getBool(path) ? 1 : 0);
            return true;
        case JsonValueType::Integer: {
            // The digits as written: above INT64_MAX the value binds unsigned, beyond 64 bits as a double.
            const std::string digits = body.toText(path);
            const char* begin = digits.data();
            const char* end = begin + digits.size();
            int64_t value = 0;
            auto read = std::from_chars(begin, end, value);
            if (read.ec == std::errc() && read.ptr == end) {
                param = SqlParam::signedInteger(value);
                return true;
            }
            uint64_t magnitude = 0;
            read = std::from_chars(begin, end, magnitude);
            if (read.ec == std::errc() && read.ptr == end) {
                param = SqlParam::unsignedInteger(magnitude);
                return true;
            }
            if (read.ec == std::errc::result_out_of_range) {
                param = SqlParam::floating(std::strtod(digits.c_str(), nullptr));
                return true;
            }
            param = SqlParam::signedInteger(body.getInt64(path));
            return true;
        }
        case JsonValueType::Float:
            param = SqlParam::floating(body.getDouble(path));
            return true;
        case JsonValueType::String:
            param = SqlParam::utf8(gbkToUtf8(body.getText(path)));
            return true;
        case JsonValueType::Array:
        case JsonValueType::Object:
            error = path + ": an array or object is no parameter value";
            return false;
        case JsonValueType::Literal:
            break;
    }
    error = path + ": not a JSON value";
    return false;
}

// The array at `paramsPath` as the values of `statement`, whose text is read.
bool readParams(const JsonDocument& body, const std::string& paramsPath, SqlStatement& statement,
                std::string& error) {
    const int64_t count = body.size(paramsPath);
    if (body.typeAt(paramsPath) != static_cast<int>(JsonValueType::Array) || count < 0) {
        error = paramsPath + ": an array of values is needed";
        return false;
    }
    statement.prepared = true;
    statement.params.clear();
    statement.params.reserve(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        SqlParam param;
        if (!readParam(body, paramsPath + "[" + std::to_string(i) + "]", param, error))
            return false;
        statement.params.push_back(std::move(param));
    }
    const size_t placeholders = countPlaceholders(statement.text);
    if (placeholders != statement.params.size()) {
        error = paramsPath + ": " + std::to_string(statement.params.size()) + " values for " +
                std::to_string(placeholders) + " placeholders";
        return false;
    }
    return true;
}

// The statement at `prefix` ("" or "batch[n].").
bool readStatement(const JsonDocument& body, const std::string& prefix, SqlStatement& statement,
                   std::string& error) {
    const std::string sqlPath = prefix + "sql";
    const int sqlType = body.typeAt(sqlPath);
    if (!prefix.empty() && sqlType != static_cast<int>(JsonValueType::String)) {
        error = sqlPath + ": a statement text is needed";
        return false;
    }
    statement.text = gbkToUtf8(body.getText(sqlPath));
    const std::string paramsPath = prefix + "params";
    if (body.has(paramsPath))
        return readParams(body, paramsPath, statement, error);
    // A statement of a batch is checked like one with values (a lone statement without them is sent as it
    // always was).
    const size_t placeholders = prefix.empty() ? 0 : countPlaceholders(statement.text);
    if (placeholders > 0) {
        error = paramsPath + ": 0 values for " + std::to_string(placeholders) + " placeholders";
        return false;
    }
    return true;
}

// "/*!" or "/*M!": a comment whose content the server runs.
bool executableComment(std::string_view at) {
    return at.starts_with("/*!") || at.starts_with("/*M!");
}

}  // namespace

bool parseSqlRequest(const JsonDocument& body, size_t maxBatch, SqlRequest& request, std::string& error) {
    request = SqlRequest{};
    if (body.has("types")) {
        if (body.typeAt("types") != static_cast<int>(JsonValueType::String) ||
            body.getText("types") != "exact") {
            error = "types: only \"exact\" is known";
            return false;
        }
        request.exactTypes = true;
    }
    const bool transaction = body.has("transaction");
    if (transaction && body.typeAt("transaction") != static_cast<int>(JsonValueType::Boolean)) {
        error = "transaction: true or false is needed";
        return false;
    }
    if (!body.has("batch")) {
        if (transaction) {
            error = "transaction: only a batch runs in a transaction";
            return false;
        }
        request.statements.emplace_back();
        return readStatement(body, {}, request.statements.back(), error);
    }
    if (body.has("sql") || body.has("params")) {
        error = "batch: sql and params belong inside its entries";
        return false;
    }
    const int64_t count = body.size("batch");
    if (body.typeAt("batch") != static_cast<int>(JsonValueType::Array) || count <= 0) {
        error = "batch: an array of statements is needed";
        return false;
    }
    if (static_cast<uint64_t>(count) > maxBatch) {
        error = "batch: " + std::to_string(count) + " statements, more than max_batch(" +
                std::to_string(maxBatch) + ")";
        return false;
    }
    request.batch = true;
    request.transaction = transaction && body.getBool("transaction");
    request.statements.resize(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        const std::string prefix = "batch[" + std::to_string(i) + "]";
        if (body.typeAt(prefix) != static_cast<int>(JsonValueType::Object)) {
            error = prefix + ": an object with sql is needed";
            return false;
        }
        if (!readStatement(body, prefix + ".", request.statements[static_cast<size_t>(i)], error))
            return false;
    }
    return true;
}

bool parseSqlParams(std::string_view paramsText, SqlStatement& statement, std::string& error) {
    JsonDocument body;
    if (!body.parse("{\"params\":" + std::string(paramsText) + "}")) {
        error = "params: not JSON";
        return false;
    }
    return readParams(body, "params", statement, error);
}

size_t countPlaceholders(std::string_view sql) {
    size_t count = 0;
    size_t i = 0;
    const size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (c == '\'' || c == '"' || c == '`') {
            // A quoted string or name: a doubled quote stays inside, and so does one after a backslash
            // (strings only).
            for (++i; i < n; ++i) {
                if (sql[i] == '\\' && c != '`') {
                    ++i;
                } else if (sql[i] == c) {
                    if (i + 1 < n && sql[i + 1] == c) {
                        ++i;
                    } else {
                        break;
                    }
                }
            }
            ++i;
        } else if (c == '#' || (c == '-' && i + 1 < n && sql[i + 1] == '-' &&
                                (i + 2 == n || static_cast<unsigned char>(sql[i + 2]) <= ' '))) {
            while (i < n && sql[i] != '\n')
                ++i;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*' && !executableComment(sql.substr(i))) {
            const size_t end = sql.find("*/", i + 2);
            i = end == std::string_view::npos ? n : end + 2;
        } else {
            count += c == '?' ? 1 : 0;
            ++i;
        }
    }
    return count;
}

}  // namespace kestrum

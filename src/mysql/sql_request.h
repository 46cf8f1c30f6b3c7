// The body of a call to the SQL endpoint, read and checked before anything runs.
//
//   {"sql":"..."}                                   one statement as text (the original form)
//   {"sql":"... ? ...","params":[4,"delta"]}        a prepared statement with its values
//   {"batch":[{"sql":..,"params":[..]}, ..],        statements in order on one connection; with
//    "transaction":true}                             "transaction" all of them or none
//   "types":"exact"                                 with any of these: columns answered by their real types
//
// Values bind by their JSON type: an integer as a signed 64-bit one (above it unsigned, past 64 bits a
// double), any other number as a double, a string as text, null as NULL, true/false as 1/0. Arrays, objects
// and bare words are refused, and so is a number of values that does not match the placeholders of the
// statement.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mysql/sql_statement.h"

namespace kestrum {

class JsonDocument;

struct SqlRequest {
    std::vector<SqlStatement> statements;  // one, or a batch's in order
    bool batch = false;
    bool transaction = false;
    bool exactTypes = false;
    // The request uses none of the members above: it is answered exactly as a plain statement always was.
    bool plain() const { return !batch && !exactTypes && !statements.front().prepared; }
};

// Reads `body` (internal text). True with `request` filled; false with `error` (internal text, for errmsg).
// A statement's text is converted to UTF-8, the connection's character set.
bool parseSqlRequest(const JsonDocument& body, size_t maxBatch, SqlRequest& request, std::string& error);

// The values of a statement written as a JSON array (internal text), such as a task file's params key:
// `statement` (its text already set) becomes a prepared one. False with `error` as above.
bool parseSqlParams(std::string_view paramsText, SqlStatement& statement, std::string& error);

// The "?" placeholders of a statement: those outside quoted strings, quoted names and comments (an
// executable comment /*! ... */ counts as statement text).
size_t countPlaceholders(std::string_view sql);

}  // namespace kestrum

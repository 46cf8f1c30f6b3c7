// Cells answered by their columns' real types ("types":"exact"): integers of every width as JSON integers
// (unsigned 64-bit exact), BIT as an unsigned integer, DECIMAL as a string with its scale, FLOAT and DOUBLE
// as numbers with every digit the server sent, dates and times as strings, binary strings as base64, SQL NULL
// as null, everything else as a string.
#pragma once

#include <string>
#include <string_view>

#include "mysql/mysql_result.h"

namespace kestrum {

class JsonDocument;

// Sets the value of one cell at `path`. `cell` is the text the server sends for it (as MysqlResult holds
// it); `isNull` marks SQL NULL.
void setExactCell(JsonDocument& data, const std::string& path, const FieldInfo& field, std::string_view cell,
                  bool isNull);

// True when `text` is a number in JSON's grammar.
bool isJsonNumber(std::string_view text);

}  // namespace kestrum

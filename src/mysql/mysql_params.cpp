#include "mysql/mysql_params.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace kestrum {

ParamBinds::ParamBinds(const std::vector<SqlParam>& params) : binds_(params.size()), lengths_(params.size()) {
    for (size_t i = 0; i < params.size(); ++i) {
        // The library only reads through these pointers.
        auto& param = const_cast<SqlParam&>(params[i]);
        MYSQL_BIND& bind = binds_[i];
        std::memset(&bind, 0, sizeof bind);
        switch (param.kind) {
            case SqlParam::Kind::kNull:
                bind.buffer_type = MYSQL_TYPE_NULL;
                break;
            case SqlParam::Kind::kInteger:
            case SqlParam::Kind::kUnsigned:
                bind.buffer_type = MYSQL_TYPE_LONGLONG;
                bind.buffer = &param.integer;
                bind.is_unsigned = param.kind == SqlParam::Kind::kUnsigned;
                break;
            case SqlParam::Kind::kDouble:
                bind.buffer_type = MYSQL_TYPE_DOUBLE;
                bind.buffer = &param.number;
                break;
            case SqlParam::Kind::kText:
                bind.buffer_type = MYSQL_TYPE_STRING;
                bind.buffer = param.text.data();
                bind.buffer_length = static_cast<unsigned long>(param.text.size());
                lengths_[i] = bind.buffer_length;
                bind.length = &lengths_[i];
                break;
        }
    }
}

namespace {

constexpr unsigned long kFirstBuffer = 64;
constexpr unsigned int kMaxFraction = 6;

// ".ffffff" cut to `decimals` digits; without fixed decimals (an expression) the six digits of a non-zero
// fraction.
void appendFraction(std::string& text, unsigned long secondPart, unsigned int decimals) {
    if (decimals == 0 || (decimals > kMaxFraction && secondPart == 0))
        return;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%06lu", secondPart % 1000000);
    text += '.';
    text.append(digits, decimals > kMaxFraction ? kMaxFraction : decimals);
}

std::string timeText(int type, const MYSQL_TIME& t, unsigned int decimals) {
    char buffer[64];
    std::string text;
    if (type == MYSQL_TYPE_TIME) {
        const unsigned long hours = static_cast<unsigned long>(t.day) * 24 + t.hour;
        std::snprintf(buffer, sizeof buffer, "%s%02lu:%02u:%02u", t.neg ? "-" : "", hours, t.minute,
                      t.second);
        text = buffer;
        appendFraction(text, t.second_part, decimals);
        return text;
    }
    std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", t.year, t.month, t.day);
    text = buffer;
    if (type == MYSQL_TYPE_DATE || type == MYSQL_TYPE_NEWDATE)
        return text;
    std::snprintf(buffer, sizeof buffer, " %02u:%02u:%02u", t.hour, t.minute, t.second);
    text += buffer;
    appendFraction(text, t.second_part, decimals);
    return text;
}

template <class Number>
std::string shortestText(Number value) {
    char buffer[64];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

}  // namespace

bool BinaryRows::bind(MYSQL_STMT* stmt, MYSQL_RES* meta) {
    const unsigned int count = meta ? mysql_num_fields(meta) : 0;
    columns_.assign(count, Column{});
    binds_.assign(count, MYSQL_BIND{});
    texts_.assign(count, std::string());
    cells_.assign(count, nullptr);
    lengths_.assign(count, 0);
    for (unsigned int c = 0; c < count; ++c) {
        const MYSQL_FIELD* field = mysql_fetch_field_direct(meta, c);
        Column& column = columns_[c];
        MYSQL_BIND& bind = binds_[c];
        std::memset(&bind, 0, sizeof bind);
        column.type = field->type;
        column.decimals = field->decimals;
        bind.is_null = &column.isNull;
        bind.error = &column.error;
        bind.length = &column.length;
        switch (field->type) {
            case MYSQL_TYPE_TINY:
            case MYSQL_TYPE_SHORT:
            case MYSQL_TYPE_INT24:
            case MYSQL_TYPE_LONG:
            case MYSQL_TYPE_LONGLONG:
            case MYSQL_TYPE_YEAR:
                column.form =
                    (field->flags & UNSIGNED_FLAG) ? Column::Form::kUnsigned : Column::Form::kSigned;
                if (field->type == MYSQL_TYPE_YEAR)
                    column.width = 4;
                else if (field->flags & ZEROFILL_FLAG)
                    column.width = field->length;
                bind.buffer_type = MYSQL_TYPE_LONGLONG;
                bind.buffer = &column.integer;
                bind.is_unsigned = column.form == Column::Form::kUnsigned;
                break;
            case MYSQL_TYPE_FLOAT:
                column.form = Column::Form::kFloat;
                bind.buffer_type = MYSQL_TYPE_FLOAT;
                bind.buffer = &column.single;
                break;
            case MYSQL_TYPE_DOUBLE:
                column.form = Column::Form::kDouble;
                bind.buffer_type = MYSQL_TYPE_DOUBLE;
                bind.buffer = &column.number;
                break;
            case MYSQL_TYPE_DATE:
            case MYSQL_TYPE_NEWDATE:
            case MYSQL_TYPE_TIME:
            case MYSQL_TYPE_DATETIME:
            case MYSQL_TYPE_TIMESTAMP:
                column.form = Column::Form::kTime;
                bind.buffer_type = field->type == MYSQL_TYPE_NEWDATE ? MYSQL_TYPE_DATE : field->type;
                bind.buffer = &column.time;
                bind.buffer_length = sizeof column.time;
                break;
            default:
                column.form = Column::Form::kBytes;
                column.bytes.resize(kFirstBuffer);
                bind.buffer_type = MYSQL_TYPE_STRING;
                bind.buffer = column.bytes.data();
                bind.buffer_length = kFirstBuffer;
                break;
        }
    }
    return count == 0 || mysql_stmt_bind_result(stmt, binds_.data()) == 0;
}

void BinaryRows::row(MYSQL_STMT* stmt, char**& cells, unsigned long*& lengths) {
    bool grew = false;
    for (size_t c = 0; c < columns_.size(); ++c) {
        Column& column = columns_[c];
        std::string& text = texts_[c];
        if (column.isNull) {
            cells_[c] = nullptr;
            lengths_[c] = 0;
            continue;
        }
        switch (column.form) {
            case Column::Form::kSigned:
            case Column::Form::kUnsigned: {
                text = column.form == Column::Form::kSigned
                           ? std::to_string(column.integer)
                           : std::to_string(static_cast<unsigned long long>(column.integer));
                if (text.size() < column.width)
                    text.insert(0, column.width - text.size(), '0');
                break;
            }
            case Column::Form::kFloat:
                text = shortestText(column.single);
                break;
            case Column::Form::kDouble:
                text = shortestText(column.number);
                break;
            case Column::Form::kTime:
                text = timeText(column.type, column.time, column.decimals);
                break;
            case Column::Form::kBytes: {
                MYSQL_BIND& bind = binds_[c];
                if (column.length > bind.buffer_length) {
                    // Longer than the buffer: read it again whole; the buffer keeps its size for the next
                    // rows.
                    column.bytes.resize(column.length);
                    bind.buffer = column.bytes.data();
                    bind.buffer_length = column.length;
                    mysql_stmt_fetch_column(stmt, &bind, static_cast<unsigned int>(c), 0);
                    grew = true;
                }
                cells_[c] = column.bytes.data();
                lengths_[c] = column.length;
                continue;
            }
        }
        cells_[c] = text.data();
        lengths_[c] = static_cast<unsigned long>(text.size());
    }
    if (grew)
        mysql_stmt_bind_result(stmt, binds_.data());  // buffers that grew
    cells = cells_.data();
    lengths = lengths_.data();
}

}  // namespace kestrum

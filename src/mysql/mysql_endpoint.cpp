// The SQL endpoint: one posted statement, answered with the API envelope.
//
// A statement that returns a result set (show, describe, explain, with, values, call, a select after blanks
// or a comment ...) answers its rows as an array of objects keyed by column name, and so does a statement
// whose first six bytes are "select" (any case, nothing trimmed) even when it returns none ("data":{}). Every
// other statement answers success or the server's error.
//
// The forms with parameters, batches or "types":"exact" (mysql/sql_request.h) answer every statement by the
// same rule: its rows when it returns a result set ([] without rows when the types are exact), else
// {"affected":N,"insert_id":N}. A batch answers an array with one entry per statement; a batch that fails
// answers 401 naming the index of the statement that failed (in "data":{"index":N} too).
#include <malloc.h>
#include <mysql.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/api_envelope.h"
#include "json/json_document.h"
#include "log/log_writer.h"
#include "mysql/exact_values.h"
#include "mysql/mysql_module.h"
#include "mysql/sql_request.h"
#include "util/encoding.h"
#include "util/text.h"
#include "util/worker_pool.h"

namespace kestrum {

namespace {

enum class ValueKind { Integer, Double, Text };

ValueKind valueKind(int32_t typeCode) {
    switch (typeCode) {
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_TIMESTAMP:
        case MYSQL_TYPE_LONGLONG:
        case MYSQL_TYPE_INT24:
            return ValueKind::Integer;
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_DOUBLE:
            return ValueKind::Double;
        default:
            return ValueKind::Text;
    }
}

bool startsWithSelect(const std::string& statement) {
    static constexpr char kSelect[] = "select";
    if (statement.size() < 6)
        return false;
    for (size_t i = 0; i < 6; ++i) {
        char c = statement[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kSelect[i])
            return false;
    }
    return true;
}

// A column name as a path segment of the row object. Dots keep their meaning (a.b gives {"a":{"b":..}}), but
// brackets are escaped: an alias such as x[2000000000] would otherwise make the document allocate two billion
// array elements.
std::string columnPath(const std::string& name) {
    std::string path;
    path.reserve(name.size() + 4);
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool beforeBracket = i + 1 < name.size() && (name[i + 1] == '[' || name[i + 1] == ']');
        if (c == '[' || c == ']' || (c == '\\' && beforeBracket))
            path += '\\';
        path += c;
    }
    return path;
}

// The leading decimal integer of `text` (blanks and a sign first, as strtoll reads it), with all its digits:
// a value beyond the signed 64-bit range is kept as an unsigned one. No digits give 0.
void setLeadingInteger(JsonDocument& data, const std::string& path, std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        // Integer columns never pass the unsigned 64-bit range; anything longer stops at its limit.
        magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
    }
    if (!negative) {
        data.setUint64(path, magnitude);
        return;
    }
    constexpr uint64_t kMinMagnitude = static_cast<uint64_t>(INT64_MAX) + 1;
    data.setInt64(path, magnitude >= kMinMagnitude ? INT64_MIN : -static_cast<int64_t>(magnitude));
}

// One cell as its JSON value at `path`, by the kind of its column:
// - integer columns (INT, MEDIUMINT, BIGINT, TIMESTAMP): the leading integer of the text, all its digits (so
// a
//   TIMESTAMP gives its year, SQL NULL 0);
// - FLOAT, DOUBLE: the text read as a decimal number, 0 when it is none;
// - every other column (TINYINT, SMALLINT, DECIMAL, dates, BIT, text, BLOB ...): a string of every byte of
// the
//   value, NUL bytes included; bytes that are no UTF-8 become U+FFFD.
// `scratch` is reused from cell to cell.
void setCell(JsonDocument& data, const std::string& path, ValueKind kind, std::string_view cell,
             std::string& scratch) {
    switch (kind) {
        case ValueKind::Integer:
            setLeadingInteger(data, path, cell);
            break;
        case ValueKind::Double:
            scratch.assign(cell);
            data.setDouble(path, std::strtod(scratch.c_str(), nullptr));
            break;
        case ValueKind::Text:
            data.setText(path, utf8ToGbk(cell));
            break;
    }
}

std::string failureEnvelope(int errorNumber, const std::string& errorText) {
    // The connection speaks UTF-8; the envelope is internal text, converted back to UTF-8 when sent.
    return buildEnvelope(401, std::to_string(errorNumber) + kFullWidthColon + utf8ToGbk(errorText));
}

// Results with more cells than this are turned into JSON on a worker thread.
constexpr uint64_t kCellsOnNetworkThread = 4096;
// After an answer this large (or a refused one) the freed memory is given back to the system: the rows and
// the document are many small blocks that would otherwise keep the process at its peak size.
constexpr size_t kTrimAfterBytes = 1024 * 1024;

void giveBackMemory() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// On a worker when there is one: trimming walks the whole heap.
void giveBackMemoryOn(WorkerPool* workers) {
    if (workers == nullptr || !workers->submit(giveBackMemory))
        giveBackMemory();
}

struct ColumnPlan {
    std::vector<FieldInfo> fields;
    std::vector<std::string> paths;
    std::vector<ValueKind> kinds;
    std::vector<int> sources;  // the first column of the same name: its value is the one read
};

ColumnPlan columnPlan(const MysqlResult& result) {
    ColumnPlan plan;
    for (int c = 0; c < result.fieldCount(); ++c) {
        FieldInfo field = result.fieldInfo(c);
        plan.paths.push_back(columnPath(utf8ToGbk(field.name)));
        plan.kinds.push_back(valueKind(field.typeCode));
        plan.sources.push_back(result.columnIndex(field.name));
        plan.fields.push_back(std::move(field));
    }
    return plan;
}

// The rows as an array of objects: by today's value kinds, or by the columns' real types (`exact`).
JsonDocument rowsDocument(MysqlResult& result, bool exact) {
    const ColumnPlan plan = columnPlan(result);
    const int columns = result.fieldCount();
    JsonDocument data;
    data.parse(exact ? "[]" : "{}");
    std::string scratch;
    std::string path;
    for (uint64_t r = 0; result.nextRow(); ++r) {
        std::string rowPrefix(1, '[');  // built step by step: GCC 12 at -O3 misreads "[" + to_string(r)
        rowPrefix += std::to_string(r);
        rowPrefix += "].";
        for (int c = 0; c < columns; ++c) {
            path.assign(rowPrefix);
            path += plan.paths[c];
            const int source = plan.sources[c];
            if (exact) {
                setExactCell(data, path, plan.fields[static_cast<size_t>(source)], result.cell(source),
                             result.isNull(source));
            } else {
                setCell(data, path, plan.kinds[c], result.cell(source), scratch);
            }
        }
    }
    return data;
}

std::string rowsEnvelope(MysqlResult& result) {
    JsonDocument data = rowsDocument(result, false);
    return buildEnvelope(200, "success", &data);
}

// The data of one statement of the newer forms: its rows, or what it changed.
std::string statementData(MysqlResult& result, bool exact) {
    if (result.hasRows())
        return rowsDocument(result, exact).toText();
    return "{\"affected\":" + std::to_string(result.affectedRows()) +
           ",\"insert_id\":" + std::to_string(result.insertId()) + "}";
}

// An envelope of success around data already written as JSON text (internal encoding), as buildEnvelope
// would write it.
std::string successEnvelope(const std::string& dataText) {
    return R"({"errcode":200,"errmsg":"success","data":)" + dataText + "}";
}

std::string tooLargeEnvelope(const MysqlPool& pool) {
    return buildEnvelope(401, std::string("answer too large") + kFullWidthColon + "max_answer(" +
                                  std::to_string(pool.maxAnswer()) + ").");
}

// Turns `make` into the answer on a worker when the rows are many (and there is a worker), else here.
void answerRows(WorkerPool* workers, uint64_t cells, std::function<std::string()> make, EndpointDone done) {
    auto finish = [make = std::move(make), done = std::move(done)]() {
        std::string envelope = make();
        const size_t bytes = envelope.size();
        done(std::move(envelope));
        // After everything this thread allocated for the answer is freed.
        if (bytes >= kTrimAfterBytes)
            giveBackMemory();
    };
    if (workers != nullptr && cells > kCellsOnNetworkThread) {
        auto shared = std::make_shared<decltype(finish)>(std::move(finish));
        if (workers->submit([shared] { (*shared)(); }))
            return;
        (*shared)();
        return;
    }
    finish();
}

std::string requestLogText(const SqlRequest& request, const std::string& plainSql) {
    if (!request.batch) {
        const SqlStatement& statement = request.statements.front();
        if (!statement.prepared)
            return plainSql;
        return utf8ToGbk(statement.text) + ",params(" + std::to_string(statement.params.size()) + ")";
    }
    std::string text = "batch(" + std::to_string(request.statements.size()) +
                       (request.transaction ? ",transaction" : "") + ")";
    for (const SqlStatement& statement : request.statements) {
        text += kFullWidthColon;
        text += utf8ToGbk(statement.text);
    }
    return text;
}

void runSingle(MysqlPool& pool, WorkerPool* workers, SqlStatement statement, bool exact, EndpointDone done) {
    pool.execute(std::move(statement), [&pool, workers, exact, done = std::move(done)](MysqlResult result) {
        if (result.busy()) {
            done(buildEnvelope(501, "server busy."));
            return;
        }
        if (result.failed() && result.errorNumber() == kAnswerTooLarge) {
            done(tooLargeEnvelope(pool));
            giveBackMemoryOn(workers);
            return;
        }
        if (result.failed()) {
            done(failureEnvelope(result.errorNumber(), result.errorText()));
            return;
        }
        const uint64_t cells = result.rowCount() * static_cast<uint64_t>(result.fieldCount());
        auto held = std::make_shared<MysqlResult>(std::move(result));
        answerRows(
            workers, cells,
            [held, exact] {
                std::string envelope = successEnvelope(statementData(*held, exact));
                held->release();
                return envelope;
            },
            std::move(done));
    });
}

void runBatch(MysqlPool& pool, WorkerPool* workers, SqlRequest request, EndpointDone done) {
    const bool exact = request.exactTypes;
    pool.executeBatch(std::move(request.statements), request.transaction,
                      [&pool, workers, exact, done = std::move(done)](MysqlBatchResult batch) {
                          if (batch.busy()) {
                              done(buildEnvelope(501, "server busy."));
                              return;
                          }
                          if (batch.failed()) {
                              if (batch.errorNumber == kAnswerTooLarge) {
                                  done(tooLargeEnvelope(pool));
                                  giveBackMemoryOn(workers);
                                  return;
                              }
                              JsonDocument data;
                              data.parse("{}");
                              data.setInt64("index", static_cast<int64_t>(batch.failedIndex));
                              done(buildEnvelope(401,
                                                 "batch[" + std::to_string(batch.failedIndex) + "]" +
                                                     kFullWidthColon + std::to_string(batch.errorNumber) +
                                                     kFullWidthColon + utf8ToGbk(batch.errorText),
                                                 &data));
                              return;
                          }
                          uint64_t cells = 0;
                          for (const MysqlResult& result : batch.results)
                              cells += result.rowCount() * static_cast<uint64_t>(result.fieldCount());
                          auto held = std::make_shared<MysqlBatchResult>(std::move(batch));
                          answerRows(
                              workers, cells,
                              [held, exact] {
                                  std::string data = "[";
                                  for (size_t i = 0; i < held->results.size(); ++i) {
                                      if (i > 0)
                                          data += ',';
                                      data += statementData(held->results[i], exact);
                                      held->results[i].release();
                                  }
                                  data += ']';
                                  return successEnvelope(data);
                              },
                              std::move(done));
                      });
}

}  // namespace

void handleMysqlRequest(MysqlPool& pool, WorkerPool* workers, RequestContext request, EndpointDone done) {
    JsonDocument body;
    body.parse(utf8BytesToGbk(request.body));
    std::string sql = body.getText("sql");
    SqlRequest parsed;
    std::string refusal;
    const bool valid = parseSqlRequest(body, pool.maxBatch(), parsed, refusal);
    // `pool` is already the one of the caller's MySQL account when it has one. Values of parameters are not
    // logged, only their number.
    logLine("mysql", "sql" + std::string(kFullWidthColon) + (valid ? requestLogText(parsed, sql) : sql) +
                         callerLogSuffix(request));
    if (!valid) {
        done(buildEnvelope(401, refusal));
        return;
    }
    if (parsed.batch) {
        runBatch(pool, workers, std::move(parsed), std::move(done));
        return;
    }
    if (!parsed.plain()) {
        runSingle(pool, workers, std::move(parsed.statements.front()), parsed.exactTypes, std::move(done));
        return;
    }

    std::string statement = std::move(parsed.statements.front().text);  // UTF-8, as the connection speaks
    bool select = startsWithSelect(statement);
    pool.execute(std::move(statement), [&pool, select, workers, done = std::move(done)](MysqlResult result) {
        if (result.busy()) {
            done(buildEnvelope(501, "server busy."));
            return;
        }
        if (result.failed() && result.errorNumber() == kAnswerTooLarge) {
            done(buildEnvelope(401, std::string("answer too large") + kFullWidthColon + "max_answer(" +
                                        std::to_string(pool.maxAnswer()) + ")."));
            giveBackMemoryOn(workers);
            return;
        }
        if (result.failed()) {
            done(failureEnvelope(result.errorNumber(), result.errorText()));
            return;
        }
        if (!select && !result.hasRows()) {
            // No result set (insert, update, DDL, a procedure without a select ...).
            done(buildEnvelope(200, "success"));
            return;
        }
        uint64_t cells = result.rowCount() * static_cast<uint64_t>(result.fieldCount());
        if (workers != nullptr && cells > kCellsOnNetworkThread) {
            auto held = std::make_shared<MysqlResult>(std::move(result));
            auto answer = std::make_shared<EndpointDone>(done);
            if (workers->submit([held, answer] {
                    std::string envelope = rowsEnvelope(*held);
                    held->release();
                    const size_t bytes = envelope.size();
                    (*answer)(std::move(envelope));
                    if (bytes >= kTrimAfterBytes)
                        giveBackMemory();
                })) {
                return;
            }
            result = std::move(*held);
        }
        std::string envelope = rowsEnvelope(result);
        result.release();
        const size_t bytes = envelope.size();
        done(std::move(envelope));
        // Here, after everything this thread allocated for the answer is freed (rare: a few large cells).
        if (bytes >= kTrimAfterBytes)
            giveBackMemory();
    });
}

}  // namespace kestrum

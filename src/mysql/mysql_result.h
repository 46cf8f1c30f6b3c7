// MysqlResult: the outcome of one statement run through the pool, owning the rows it returned until it is
// destroyed (or release() is called).
//
// The rows are copied out of the connection while they arrive and the slot is back in the pool before the
// result reaches its caller, so they are read without the connection, from any thread, for as long as the
// caller likes. Not safe for concurrent use; move it between threads, never share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// Description of one column of a result set. Empty name and typeCode 0 when the column does not exist.
struct FieldInfo {
    std::string name;      // column name or alias as the server reports it
    int32_t typeCode = 0;  // field type code of the C API (LONG 3, TIMESTAMP 7, VAR_STRING 253, ...)
    uint32_t flags = 0;    // column flags of the C API (UNSIGNED_FLAG, ZEROFILL_FLAG, ...)
    uint32_t charset = 0;  // character set number; 63 for binary columns
    uint32_t decimals = 0;
    uint64_t length = 0;  // display width
};

// errorNumber() of a statement whose rows would make an answer larger than the pool's max_answer.
inline constexpr int kAnswerTooLarge = -1;

class MysqlResult {
  public:
    enum class Status {
        kBusy,    // no slot became free in time; nothing ran
        kFailed,  // the statement failed: errorNumber/errorText
        kDone,    // the statement ran; the result owns its rows (for statements that return rows)
    };

    MysqlResult() = default;  // busy
    MysqlResult(MysqlResult&& other) noexcept;
    MysqlResult& operator=(MysqlResult&& other) noexcept;
    MysqlResult(const MysqlResult&) = delete;
    MysqlResult& operator=(const MysqlResult&) = delete;
    ~MysqlResult();  // release()

    Status status() const { return status_; }
    bool busy() const { return status_ == Status::kBusy; }
    bool failed() const { return status_ == Status::kFailed; }
    bool done() const { return status_ == Status::kDone; }
    int errorNumber() const { return errorNumber_; }
    const std::string& errorText() const { return errorText_; }
    // The slot the statement ran on (already back in the pool); 0 when it failed or did not run.
    int slot() const { return slot_; }

    // True when the statement returned a result set (of any number of rows; a procedure: its first one). A
    // statement without one has 0 rows and 0 fields.
    bool hasRows() const { return data_ != nullptr; }
    uint64_t rowCount() const;
    int fieldCount() const;
    FieldInfo fieldInfo(int column) const;
    // Index of the first column whose name equals `name` byte for byte; -1 when none does.
    int columnIndex(std::string_view name) const;
    // Moves the row cursor to `row` (0-based). False when there is no such row.
    bool seekRow(uint64_t row);
    // The value of the named column in the cursor row (every byte, NUL bytes included), without moving the
    // cursor. SQL NULL gives empty text. False (and `value` untouched) when no column has that name or the
    // cursor is past the last row.
    bool valueByName(std::string_view name, std::string& value) const;
    // Sequential reading: fetches the cursor row and moves the cursor on; false past the last row. cell()
    // then gives a column of that row (every byte; SQL NULL and unknown columns give "").
    bool nextRow();
    std::string_view cell(int column) const;
    // True when that cell of the row nextRow() fetched is SQL NULL.
    bool isNull(int column) const;

    // A statement without a result set: the rows it changed and the AUTO_INCREMENT value it generated.
    uint64_t affectedRows() const { return affectedRows_; }
    uint64_t insertId() const { return insertId_; }

    // Frees the rows now. Idempotent.
    void release();

    // The rows of a result, copied out of the connection's buffer as they arrive: every cell whole (a value
    // may hold NUL bytes) in blocks of storage, null for SQL NULL.
    struct Data {
        struct Cell {
            const char* bytes = nullptr;  // null for SQL NULL
            size_t size = 0;
        };
        std::vector<FieldInfo> fields;
        std::vector<Cell> cells;  // row-major
        uint64_t rows = 0;

        // Appends a row of fields.size() cells (a MYSQL_ROW and its lengths).
        void addRow(char* const* row, const unsigned long* lengths);

      private:
        struct BlockDeleter {
            size_t mappedBytes = 0;  // 0: the block is on the heap
            void operator()(char* bytes) const;
        };
        using RowBlock = std::unique_ptr<char[], BlockDeleter>;
        static RowBlock newBlock(size_t bytes);
        char* allocate(size_t bytes);

        std::vector<RowBlock> blocks;
        size_t blockLeft = 0;
        char* blockNext = nullptr;
        size_t nextBlock = 1024;
    };

  private:
    friend class MysqlConnection;
    int slot_ = 0;
    Data* data_ = nullptr;
    uint64_t cursor_ = 0;
    uint64_t current_ = UINT64_MAX;  // the row nextRow() fetched
    Status status_ = Status::kBusy;
    int errorNumber_ = 0;
    std::string errorText_;
    uint64_t affectedRows_ = 0;
    uint64_t insertId_ = 0;
};

// The outcome of a batch: the statements ran in order on one connection, which is back in the pool.
struct MysqlBatchResult {
    MysqlResult::Status status = MysqlResult::Status::kBusy;
    bool busy() const { return status == MysqlResult::Status::kBusy; }
    bool failed() const { return status == MysqlResult::Status::kFailed; }
    // kFailed: the 0-based index of the statement that failed, and its error.
    size_t failedIndex = 0;
    int errorNumber = 0;
    std::string errorText;
    // kDone: one result per statement, in order (holding no slot). A failed batch without a transaction has
    // changed what its statements before failedIndex changed; with a transaction, nothing.
    std::vector<MysqlResult> results;
};

}  // namespace kestrum

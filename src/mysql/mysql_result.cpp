// The rows of a result and MysqlResult's reads of them.
#include "mysql/mysql_result.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrum {

namespace {

// A block of row storage. Blocks of 256 KB and more are mappings of their own and go back to the system the
// moment they are freed: on the heap, freed rows can stay resident after malloc_trim when they end up in the
// top chunk of a thread's arena, depending on what else lies around them.
constexpr size_t kMappedBlockBytes = 256 * 1024;

}  // namespace

void MysqlResult::Data::BlockDeleter::operator()(char* bytes) const {
    if (mappedBytes > 0)
        ::munmap(bytes, mappedBytes);
    else
        delete[] bytes;
}

MysqlResult::Data::RowBlock MysqlResult::Data::newBlock(size_t bytes) {
    if (bytes >= kMappedBlockBytes) {
        void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at != MAP_FAILED)
            return RowBlock(static_cast<char*>(at), BlockDeleter{bytes});
    }
    return RowBlock(new char[bytes], BlockDeleter{});  // not zeroed
}

char* MysqlResult::Data::allocate(size_t bytes) {
    if (bytes > blockLeft) {
        // Blocks grow from small (a point select) to 256 KB (a large result); nothing is zeroed.
        size_t size = std::max(bytes, nextBlock);
        nextBlock = std::min<size_t>(nextBlock * 2, 256 * 1024);
        blocks.push_back(newBlock(size));
        blockNext = blocks.back().get();
        blockLeft = size;
    }
    char* at = blockNext;
    blockNext += bytes;
    blockLeft -= bytes;
    return at;
}

void MysqlResult::Data::addRow(char* const* row, const unsigned long* lengths) {
    size_t columns = fields.size();
    size_t total = 0;
    for (size_t c = 0; c < columns; ++c)
        total += row[c] ? lengths[c] : 0;
    char* at = allocate(total);
    for (size_t c = 0; c < columns; ++c) {
        if (!row[c]) {
            cells.push_back({});
            continue;
        }
        if (lengths[c] > 0)
            std::memcpy(at, row[c], lengths[c]);
        // An empty value is no SQL NULL, also where no storage was needed for the row.
        cells.push_back({at != nullptr ? at : "", lengths[c]});
        at += lengths[c];
    }
    ++rows;
}

MysqlResult::MysqlResult(MysqlResult&& other) noexcept {
    *this = std::move(other);
}

MysqlResult& MysqlResult::operator=(MysqlResult&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::exchange(other.slot_, 0);
        data_ = std::exchange(other.data_, nullptr);
        cursor_ = std::exchange(other.cursor_, 0);
        current_ = std::exchange(other.current_, UINT64_MAX);
        status_ = other.status_;
        errorNumber_ = other.errorNumber_;
        errorText_ = std::move(other.errorText_);
        affectedRows_ = other.affectedRows_;
        insertId_ = other.insertId_;
    }
    return *this;
}

MysqlResult::~MysqlResult() {
    release();
}

void MysqlResult::release() {
    delete data_;
    data_ = nullptr;
    cursor_ = 0;
    current_ = UINT64_MAX;
}

uint64_t MysqlResult::rowCount() const {
    return data_ ? data_->rows : 0;
}

int MysqlResult::fieldCount() const {
    return data_ ? static_cast<int>(data_->fields.size()) : 0;
}

FieldInfo MysqlResult::fieldInfo(int column) const {
    if (column < 0 || column >= fieldCount())
        return {};
    return data_->fields[static_cast<size_t>(column)];
}

int MysqlResult::columnIndex(std::string_view name) const {
    for (int c = 0; c < fieldCount(); ++c) {
        if (data_->fields[static_cast<size_t>(c)].name == name)
            return c;
    }
    return -1;
}

bool MysqlResult::seekRow(uint64_t row) {
    if (row >= rowCount())
        return false;
    cursor_ = row;
    return true;
}

bool MysqlResult::valueByName(std::string_view name, std::string& value) const {
    int column = columnIndex(name);
    if (column < 0 || cursor_ >= rowCount())
        return false;
    const Data::Cell& cell = data_->cells[cursor_ * data_->fields.size() + static_cast<size_t>(column)];
    value.assign(cell.size > 0 ? cell.bytes : "", cell.size);
    return true;
}

bool MysqlResult::nextRow() {
    if (cursor_ >= rowCount())
        return false;
    current_ = cursor_++;
    return true;
}

bool MysqlResult::isNull(int column) const {
    if (current_ >= rowCount() || column < 0 || column >= fieldCount())
        return true;
    return data_->cells[current_ * data_->fields.size() + static_cast<size_t>(column)].bytes == nullptr;
}

std::string_view MysqlResult::cell(int column) const {
    if (current_ >= rowCount() || column < 0 || column >= fieldCount())
        return {};
    const Data::Cell& cell = data_->cells[current_ * data_->fields.size() + static_cast<size_t>(column)];
    return cell.size > 0 ? std::string_view(cell.bytes, cell.size) : std::string_view();
}

}  // namespace kestrum

#include "mysql/mysql_client.h"

#include <unistd.h>

#include <mutex>

namespace kestrum {

namespace {

// mysql_library_init is not thread safe; the first handle of the process triggers it exactly once.
MYSQL* newHandle() {
    static std::once_flag libraryOnce;
    std::call_once(libraryOnce, [] { mysql_library_init(0, nullptr, nullptr); });
    return mysql_init(nullptr);
}

// LOAD DATA LOCAL INFILE would let any caller read files of this machine (our own configuration, keys): the
// capability is never offered to the server and no local-infile handler is installed.
void refuseLocalFiles(MYSQL* handle) {
    unsigned int off = 0;
    mysql_optionsv(handle, MYSQL_OPT_LOCAL_INFILE, &off);
}

}  // namespace

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

MysqlClient::MysqlClient() : handle_(newHandle()) {}

MysqlClient::~MysqlClient() = default;

MYSQL* MysqlClient::connect(const std::string& host, const std::string& user, const std::string& password,
                            const std::string& database, int port, int connectTimeoutSeconds) {
    if (!handle_) {
        handle_.reset(newHandle());
        if (!handle_)
            return nullptr;
    }
    refuseLocalFiles(handle_.get());
    if (connectTimeoutSeconds > 0) {
        unsigned int seconds = static_cast<unsigned int>(connectTimeoutSeconds);
        mysql_options(handle_.get(), MYSQL_OPT_CONNECT_TIMEOUT, &seconds);
    }
    MYSQL* connected = mysql_real_connect(handle_.get(), orNull(host), orNull(user), orNull(password),
                                          orNull(database), static_cast<unsigned int>(port), nullptr, 0);
    return connected == handle_.get() ? connected : nullptr;
}

void MysqlClient::close() {
    handle_.reset();
}

void MysqlClient::abandon() {
    MYSQL* handle = handle_.release();
    if (handle == nullptr)
        return;
    int fd = static_cast<int>(mysql_get_socket(handle));
    if (fd >= 0)
        ::close(fd);
}

bool MysqlClient::prepareNonblocking(int connectTimeoutSeconds) {
    handle_.reset(newHandle());
    if (!handle_)
        return false;
    if (mysql_options(handle_.get(), MYSQL_OPT_NONBLOCK, nullptr) != 0)
        return false;
    refuseLocalFiles(handle_.get());
    if (connectTimeoutSeconds > 0) {
        unsigned int seconds = static_cast<unsigned int>(connectTimeoutSeconds);
        mysql_options(handle_.get(), MYSQL_OPT_CONNECT_TIMEOUT, &seconds);
    }
    return true;
}

bool MysqlClient::query(std::string_view statement) {
    if (!handle_)
        return false;
    return mysql_real_query(handle_.get(), statement.data(), static_cast<unsigned long>(statement.size())) ==
           0;
}

MYSQL_RES* MysqlClient::storeResult() {
    return handle_ ? mysql_store_result(handle_.get()) : nullptr;
}

bool MysqlClient::discardPendingResults() {
    if (!handle_)
        return true;
    while (mysql_more_results(handle_.get())) {
        if (mysql_next_result(handle_.get()) > 0)
            return false;
        freeResult(mysql_store_result(handle_.get()));
    }
    return true;
}

void MysqlClient::freeResult(MYSQL_RES* result) {
    if (result)
        mysql_free_result(result);
}

uint64_t MysqlClient::rowCount(MYSQL_RES* result) {
    return result ? mysql_num_rows(result) : 0;
}

int MysqlClient::fieldCount(MYSQL_RES* result) {
    return result ? static_cast<int>(mysql_num_fields(result)) : 0;
}

bool MysqlClient::seekRow(MYSQL_RES* result, uint64_t row) const {
    // The cursor lives in the buffered result set; the connection is not consulted, so seeking stays safe
    // while the pool's keep-alive uses the same connection.
    if (!handle_ || !result || row >= mysql_num_rows(result))
        return false;
    mysql_data_seek(result, row);
    return true;
}

FieldInfo MysqlClient::fieldInfo(MYSQL_RES* result, int column) {
    FieldInfo info;
    if (!result || column < 0 || column >= static_cast<int>(mysql_num_fields(result)))
        return info;
    MYSQL_FIELD* field = mysql_fetch_field_direct(result, static_cast<unsigned int>(column));
    if (!field)
        return info;
    info.name.assign(field->name ? field->name : "", field->name ? field->name_length : 0);
    info.typeCode = static_cast<int32_t>(field->type);
    info.flags = field->flags;
    info.charset = field->charsetnr;
    info.decimals = field->decimals;
    info.length = field->length;
    return info;
}

int MysqlClient::columnIndex(MYSQL_RES* result, std::string_view name) {
    if (!result)
        return -1;
    unsigned int count = mysql_num_fields(result);
    MYSQL_FIELD* fields = mysql_fetch_fields(result);
    if (!fields)
        return -1;
    for (unsigned int i = 0; i < count; ++i) {
        std::string_view fieldName(fields[i].name ? fields[i].name : "",
                                   fields[i].name ? fields[i].name_length : 0);
        if (fieldName == name)
            return static_cast<int>(i);
    }
    return -1;
}

bool MysqlClient::valueByName(MYSQL_RES* result, std::string_view name, std::string& value) {
    int index = columnIndex(result, name);
    if (index < 0)
        return false;
    MYSQL_ROW_OFFSET position = mysql_row_tell(result);
    MYSQL_ROW row = mysql_fetch_row(result);
    if (!row) {
        mysql_row_seek(result, position);
        return false;
    }
    const unsigned long* lengths = mysql_fetch_lengths(result);
    const char* cell = row[index];
    // Every byte of the value (it may hold NUL bytes); SQL NULL is empty text.
    value.assign(cell && lengths ? cell : "", cell && lengths ? lengths[index] : 0);
    mysql_row_seek(result, position);
    return true;
}

std::string MysqlClient::lastError() const {
    if (!handle_)
        return {};
    const char* text = mysql_error(handle_.get());
    return text ? text : "";
}

int MysqlClient::lastErrno() const {
    return handle_ ? static_cast<int>(mysql_errno(handle_.get())) : 0;
}

}  // namespace kestrum

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

MysqlClient::MysqlClient() : handle_(newHandle()) {}

MysqlClient::~MysqlClient() = default;

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

}  // namespace kestrum

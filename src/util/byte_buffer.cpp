#include "util/byte_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kestrum {

bool ByteBuffer::create() {
    header_ = static_cast<ByteBufferHeader*>(std::calloc(1, sizeof(ByteBufferHeader)));
    return header_ != nullptr;
}

void ByteBuffer::resize(int64_t newLength) {
    if (header_ == nullptr || newLength < 0 || newLength == header_->usedLength)
        return;
    if (newLength > INT32_MAX) {
        clear();
        return;
    }
    uint64_t n = static_cast<uint64_t>(newLength);
    uint64_t current = static_cast<uint32_t>(header_->usedLength);
    uint64_t target = std::max(n, std::min(2 * n, current));
    if (static_cast<uint64_t>(static_cast<uint32_t>(header_->capacity)) < n || target < current) {
        void* storage = std::realloc(header_->storage, target == 0 ? 1 : target);
        if (storage == nullptr) {
            std::free(header_->storage);
            *header_ = ByteBufferHeader{nullptr, 0, 0};
            return;
        }
        *header_ = ByteBufferHeader{static_cast<char*>(storage), static_cast<int32_t>(n),
                                    static_cast<int32_t>(target)};
        return;
    }
    header_->usedLength = static_cast<int32_t>(n);
}

void ByteBuffer::append(const void* bytes, int32_t count) {
    if (header_ == nullptr || count <= 0)
        return;
    int32_t old = header_->usedLength;
    resize(static_cast<int64_t>(old) + count);
    if (header_->storage == nullptr || header_->usedLength != old + count)
        return;
    std::memcpy(header_->storage + old, bytes, static_cast<size_t>(count));
}

std::string ByteBuffer::contents() const {
    if (header_ == nullptr || header_->storage == nullptr || header_->usedLength <= 0)
        return {};
    return std::string(header_->storage, static_cast<size_t>(header_->usedLength));
}

void ByteBuffer::clear() {
    if (header_ == nullptr || header_->storage == nullptr)
        return;
    std::free(header_->storage);
    *header_ = ByteBufferHeader{nullptr, 0, 0};
}

void ByteBuffer::release() {
    if (header_ == nullptr)
        return;
    clear();
    std::free(header_);
    header_ = nullptr;
}

}  // namespace kestrum

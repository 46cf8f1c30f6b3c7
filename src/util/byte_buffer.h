// ByteBuffer: a growable byte buffer whose three-field header is allocated separately, so the header can be
// handed to another owner and attached to again later. Not thread safe: one user at a time.
//
// Growth is exact: an append beyond the capacity reallocates to exactly the new length (no spare room); a
// resize to less than half the current length shrinks the storage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrum {

struct ByteBufferHeader {
    char* storage;
    int32_t usedLength;
    int32_t capacity;
};

class ByteBuffer {
  public:
    ByteBuffer() = default;
    explicit ByteBuffer(ByteBufferHeader* header) : header_(header) {}
    // The object never frees its header implicitly: call release() (the header may live on elsewhere).

    bool create();  // allocates and attaches a zeroed header
    ByteBufferHeader* handle() const { return header_; }
    void attach(ByteBufferHeader* header) { header_ = header; }
    void append(const void* bytes, int32_t count);  // no-op without a header
    void append(std::string_view bytes) { append(bytes.data(), static_cast<int32_t>(bytes.size())); }
    std::string contents() const;  // copy of the content
    int32_t length() const { return header_ ? header_->usedLength : 0; }
    int32_t capacity() const { return header_ ? header_->capacity : 0; }
    void clear();    // frees the storage, zeroes the header
    void release();  // clear, then frees the header itself

  private:
    void resize(int64_t newLength);
    ByteBufferHeader* header_ = nullptr;
};

}  // namespace kestrum

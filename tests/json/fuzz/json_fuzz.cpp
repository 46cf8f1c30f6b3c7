// Feeds arbitrary bytes to JsonDocument and JsonStore: parse with both escape settings, write compact and
// pretty, read and write by paths cut from the same input, copy between documents, write the input as a
// string value and read it back. Any crash, sanitizer report or inconsistency between calls is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_document.h"
#include "json/json_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    // An optional path follows the last 0x01 byte.
    std::string_view text = input;
    std::string_view path;
    if (size_t cut = input.rfind('\x01'); cut != std::string_view::npos) {
        text = input.substr(0, cut);
        path = input.substr(cut + 1);
    }

    kestrum::JsonDocument doc;
    bool ok = doc.parse(text, flags & 1);
    if (ok != (doc.lastError() == 0))
        std::abort();
    std::string compact = doc.toText("", false, flags & 2);
    std::string pretty = doc.toText("", true, flags & 2);
    if (compact.empty() != pretty.empty())
        std::abort();

    std::vector<std::string> names;
    int count = doc.memberNames(path, names);
    if (count != static_cast<int>(names.size()))
        std::abort();
    (void)doc.typeAt(path);
    (void)doc.getText(path);
    (void)doc.getInt(path);
    (void)doc.getInt64(path);
    (void)doc.getDouble(path);
    (void)doc.toText(path, flags & 4);

    kestrum::JsonDocument copy;
    copy.parse("{\"errcode\":200,\"errmsg\":\"success\"}");
    copy.setDocument(path, "data", doc);
    copy.setText(path, text.substr(0, 64));
    copy.setInt64(path, static_cast<int64_t>(size));
    copy.setDouble(path, 1.0 / static_cast<double>(size));
    (void)copy.toText("", flags & 8);

    // Any bytes set as a string value are written as JSON without raw control characters, and read back
    // unchanged by the parser.
    kestrum::JsonDocument built;
    built.parse("{}");
    built.setText("v", text);
    std::string written = built.toText();
    for (char c : written) {
        if (static_cast<unsigned char>(c) < 0x20)
            std::abort();
    }
    kestrum::JsonDocument reread;
    if (!reread.parse(written) || reread.getText("v") != built.getText("v"))
        std::abort();

    kestrum::JsonStore store;
    int code = 0;
    size_t stop = 0;
    store.load(text, flags & 16, &code, &stop);
    if (stop > text.size())
        std::abort();
    store.setInt(path, 1);
    (void)store.exists(path);
    (void)store.getText(path);
    (void)store.getInt(path);
    store.removeMember(path, "data");
    (void)store.toText();
    return 0;
}

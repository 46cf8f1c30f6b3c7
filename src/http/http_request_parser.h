// HttpRequestParser: bytes of one client's HTTP/1.x stream in, finished requests out (internal to src/http).
//
// The glue around http-parser, free of sockets and loops: the callbacks append into the request being built
// (names, values and the URL may arrive in pieces), header bytes and body bytes are capped, keep-alive,
// HTTP/1.0, "Expect: 100-continue" and protocol switches are recognised. Parsing stops after each complete
// request so that its owner answers it before a byte of the next one is looked at; feeding the rest of the
// input later goes on with the next request. Bytes may come in any split: the outcome is the same.
//
// Memory: the http_parser state and a few counters; the request being built exists only from its first byte
// until it is taken, so a connection waiting between requests holds none. No input is buffered here: what
// feed() did not use is the caller's to keep.
//
// One owner, one thread; no call blocks or throws for bad input.
#pragma once

#include <http_parser.h>

#include <cstddef>
#include <memory>

#include "http/http_message.h"
#include "http/http_server.h"

namespace kestrum {

class HttpRequestParser {
  public:
    enum class Status {
        kNeedMore,   // every byte was used; the request (if one started) is not complete yet
        kRequest,    // a request is complete (takeRequest); the bytes after it were not looked at
        kUpgrade,    // a request that switches protocols is complete; what follows is not HTTP
        kMalformed,  // not HTTP: the stream cannot go on
        kTooLarge,   // the request line and headers, or the body, exceed their limit
    };
    struct Result {
        Status status = Status::kNeedMore;
        size_t used = 0;  // bytes of the input taken
    };

    explicit HttpRequestParser(size_t maxBody, size_t maxHeaderBytes = kMaxHeaderBytes);
    HttpRequestParser(const HttpRequestParser&) = delete;
    HttpRequestParser& operator=(const HttpRequestParser&) = delete;

    // Parses `data` until a request completes, an error is found or the bytes run out. After kRequest, more
    // input may follow; after kUpgrade, kMalformed or kTooLarge the stream is done and every later call
    // returns that status again, using nothing. An empty input uses nothing and reports kNeedMore.
    Result feed(const char* data, size_t size);

    // The request completed by the last feed (kRequest or kUpgrade), moved out; the parser keeps nothing of
    // it. Fills method, url, path, headers, body, keepAlive, upgrade and http10; the connection's own fields
    // are the caller's.
    HttpRequest takeRequest();
    // What the completed upgrade request asks for.
    UpgradeKind upgradeKind() const { return upgradeKind_; }
    // True once per request whose headers ask for an interim "100 Continue" (HTTP/1.1 and later); the caller
    // decides on it (head() tells what the request is) before it handles the outcome of the same feed.
    bool takeContinue();
    // The head of the request in progress is complete: its body (if any) is being read.
    bool headComplete() const { return inBody_; }
    // The request in progress, complete or not; once its head is complete, method and path are set too.
    HttpRequest& head() { return request(); }

  private:
    Status fail(Status status);
    HttpRequest& request();  // the request being built, made on first use
    void resetRequest();
    bool chargeHeaderBytes(size_t count);

    static int onMessageBegin(http_parser* parser);
    static int onUrl(http_parser* parser, const char* at, size_t length);
    static int onHeaderField(http_parser* parser, const char* at, size_t length);
    static int onHeaderValue(http_parser* parser, const char* at, size_t length);
    static int onHeadersComplete(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, size_t length);
    static int onMessageComplete(http_parser* parser);
    static const http_parser_settings kSettings;

    http_parser parser_;
    std::unique_ptr<HttpRequest> request_;  // the request being parsed; null between requests
    size_t maxBody_;
    size_t maxHeaderBytes_;
    size_t headerBytes_ = 0;
    Status final_ = Status::kNeedMore;  // kNeedMore while the stream can go on; else the status it ended with
    UpgradeKind upgradeKind_ = UpgradeKind::kOther;
    bool inBody_ = false;  // the headers of the current request are complete
    bool lastWasValue_ = false;
    bool limitExceeded_ = false;
    bool continueWanted_ = false;
};

}  // namespace kestrum

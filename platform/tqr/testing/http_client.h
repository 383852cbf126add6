// An HTTP client of the stand-in for tests and benchmarks (its control
// interface under /_stub and the REST endpoints as any caller sees them).
//
// cpp-httplib's own types stay inside http_client.cpp: Debian's library is
// built with its architecture's time_t, 32 bits on 32-bit ARM, while the
// project builds with a 64-bit one. Only this header's types, which hold no
// time_t, cross between the two.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tqr_testing {

struct HttpResponse {
    int status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Header names compare without regard to case.
    bool has_header(const std::string &name) const;
};

// An answer, or why none came.
class HttpResult {
public:
    HttpResult() = default;
    explicit HttpResult(HttpResponse response) : response_(std::move(response)) {}
    explicit HttpResult(std::string error) : error_(std::move(error)) {}

    explicit operator bool() const { return response_.has_value(); }
    // Without an answer, an empty response (status 0) rather than a crash.
    const HttpResponse *operator->() const { return response_ ? &*response_ : &none_; }
    const HttpResponse &operator*() const { return *operator->(); }
    const std::string &error() const { return error_; }

private:
    std::optional<HttpResponse> response_;
    std::string error_;
    HttpResponse none_;
};

class HttpClient {
public:
    HttpClient(const std::string &host, int port);
    ~HttpClient();
    HttpClient(HttpClient &&) noexcept;
    HttpClient &operator=(HttpClient &&) noexcept;

    void set_read_timeout(std::chrono::milliseconds timeout);

    HttpResult Get(const std::string &path);
    HttpResult Delete(const std::string &path);
    HttpResult Put(const std::string &path, const std::string &body, const std::string &contentType);
    HttpResult Post(const std::string &path, const std::string &body, const std::string &contentType);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tqr_testing

#include "http_client.h"

#include <httplib.h>
#include <strings.h>

namespace tqr_testing {
namespace {

HttpResult result(httplib::Result r) {
    if (!r) {
        return HttpResult(httplib::to_string(r.error()));
    }
    HttpResponse response;
    response.status = r->status;
    response.body = std::move(r->body);
    for (auto &[name, value] : r->headers) {
        response.headers.emplace_back(name, value);
    }
    return HttpResult(std::move(response));
}

} // namespace

bool HttpResponse::has_header(const std::string &name) const {
    for (const auto &header : headers) {
        if (strcasecmp(header.first.c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

struct HttpClient::Impl {
    Impl(const std::string &host, int port) : client(host, port) {}
    httplib::Client client;
};

HttpClient::HttpClient(const std::string &host, int port) : impl_(std::make_unique<Impl>(host, port)) {}
HttpClient::~HttpClient() = default;
HttpClient::HttpClient(HttpClient &&) noexcept = default;
HttpClient &HttpClient::operator=(HttpClient &&) noexcept = default;

void HttpClient::set_read_timeout(std::chrono::milliseconds timeout) { impl_->client.set_read_timeout(timeout); }

HttpResult HttpClient::Get(const std::string &path) { return result(impl_->client.Get(path)); }

HttpResult HttpClient::Delete(const std::string &path) { return result(impl_->client.Delete(path)); }

HttpResult HttpClient::Put(const std::string &path, const std::string &body, const std::string &contentType) {
    return result(impl_->client.Put(path, body, contentType));
}

HttpResult HttpClient::Post(const std::string &path, const std::string &body, const std::string &contentType) {
    return result(impl_->client.Post(path, body, contentType));
}

} // namespace tqr_testing

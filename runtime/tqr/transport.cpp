#include "runtime/tqr/transport.h"

#include <curl/curl.h>

#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <vector>

std::mutex tqrMutex;
std::condition_variable tqrResponseCv;
std::array<std::atomic<uint8_t>, 14> tqrResponseReceived{};
TqrOwnAlarmPuts ignoreNextAlarmState;

namespace {

std::atomic<TqrLogSink> logSink{nullptr};

void say(int level, const std::string &text) {
    if (TqrLogSink sink = logSink.load()) {
        sink(level, text);
    }
}

struct EasyCleanup {
    void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;

struct ListFree {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, ListFree>;

HeaderList headerList(const std::vector<std::string> &lines) {
    HeaderList list;
    for (const std::string &line : lines) {
        curl_slist *grown = curl_slist_append(list.get(), line.c_str());
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        (void)list.release();
        list.reset(grown);
    }
    return list;
}

// Answers that nobody reads are dropped here rather than written to
// standard output, libcurl's default.
size_t discardBody(char *, size_t size, size_t count, void *) { return size * count; }

// A handle with what every request sets: no signals (the calling thread
// may not be the main one), bounded connect and transfer times, answers
// dropped unless the caller collects them.
Easy newHandle(const std::string &url) {
    tqrGlobalInit();
    Easy h(curl_easy_init());
    if (!h) {
        throw std::bad_alloc();
    }
    curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT_MS, 1000L);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(h.get(), CURLOPT_URL, url.c_str());
    return h;
}

long statusOf(CURL *h) {
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

void sayNoAnswer(const std::string &url, CURLcode rc) {
    say(4, "No answer from TQR for " + url + ": " + curl_easy_strerror(rc));
}

// A PUT or POST whose answer is only its status.
struct Sent {
    CURLcode rc = CURLE_OK;
    long status = 0;
};

Sent send(const std::string &url, const char *method, const std::vector<std::string> &headers,
          const std::string &body) {
    Easy h = newHandle(url);
    HeaderList list = headerList(headers);
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    Sent sent;
    sent.rc = curl_easy_perform(h.get());
    sent.status = statusOf(h.get());
    return sent;
}

int statusResult(const std::string &url, const Sent &sent) {
    if (sent.status == 0) {
        if (sent.rc == CURLE_COULDNT_CONNECT) {
            say(1, "Couldn't connect to TQR server at " + url);
        } else {
            sayNoAnswer(url, sent.rc);
        }
        return tqrNoStatus;
    }
    return static_cast<int>(sent.status);
}

bool accepted(long status) { return status >= 200 && status < 300; }

int putAlarmBody(const std::string &url, const std::string &body) {
    const uint64_t ticket = ignoreNextAlarmState.note();
    int result = tqrNoStatus;
    try {
        const Sent sent = send(url, "PUT", {"Content-Length: " + std::to_string(body.size()), "Accept: */*",
                                            "User-Agent: ZOR BACnet", "Content-Type: application/json"},
                               body);
        result = statusResult(url, sent);
    } catch (const std::exception &e) {
        say(3, "PUT " + url + " failed: " + e.what());
    }
    if (!accepted(result)) {
        ignoreNextAlarmState.giveBack(ticket); // TQR changed nothing: velsard announces nothing
    }
    tqrResponseCv.notify_all();
    return result;
}

// The JSON text of a string, without its quotes.
std::string jsonEscaped(const std::string &text) {
    JsonItem list(JsonItemType::Array);
    list.appendChild(JsonItem("", text));
    const std::string written = list.toCompactText(text.size() + 16); // ["..."]
    return written.substr(2, written.size() - 4);
}

// The configuration PUTs: the site texts and the communication settings.
int putConfiguration(const std::string &url, const std::string &body, const TqrCompletion &completion) {
    Easy h = newHandle(url);
    HeaderList list = headerList({"Content-Length: " + std::to_string(body.size()), "Accept: */*",
                                  "User-Agent: ZOR BACnet", "Content-type: application/json"});
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h.get(), CURLOPT_USERAGENT, "tqr-client");
    curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(h.get(), CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(h.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h.get(), CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(h.get(), CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(h.get(), CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
    const CURLcode rc = curl_easy_perform(h.get());
    const long status = statusOf(h.get());
    say(6, "Sent PUT " + url);
    if (status == 0 && rc != CURLE_OK) {
        if (rc == CURLE_COULDNT_CONNECT) {
            say(1, "Couldn't connect to TQR server at " + url);
        } else {
            sayNoAnswer(url, rc);
        }
    } else if (status != 200 && status != 202) {
        say(6, "Received " + std::to_string(status) + " for " + url);
    }
    if ((status == 200 || status == 202) && rc == CURLE_OK && completion) {
        completion("", 1, 0, nullptr);
    }
    return static_cast<int>(rc);
}

} // namespace

void tqrSetLogSink(TqrLogSink sink) { logSink.store(sink); }

void tqrGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// ---- own alarm PUTs ----

uint64_t TqrOwnAlarmPuts::note(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    expire(now);
    sent_.emplace_back(next_, now);
    return next_++;
}

void TqrOwnAlarmPuts::giveBack(uint64_t ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sent_.begin(); it != sent_.end(); ++it) {
        if (it->first == ticket) {
            sent_.erase(it);
            return;
        }
    }
}

bool TqrOwnAlarmPuts::consume(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    expire(now);
    if (sent_.empty()) {
        return false;
    }
    sent_.pop_front();
    return true;
}

void TqrOwnAlarmPuts::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
}

size_t TqrOwnAlarmPuts::pending(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    expire(now);
    return sent_.size();
}

void TqrOwnAlarmPuts::expire(Clock::time_point now) {
    while (!sent_.empty() && now - sent_.front().second >= lifetime) {
        sent_.pop_front();
    }
}

// ---- GET ----

size_t tqrReadCallback(char *data, size_t size, size_t count, void *buffer) {
    auto &body = *static_cast<std::string *>(buffer);
    const size_t n = size * count;
    if (n > tqrMaxBody - body.size()) {
        say(3, "tqrReadCallback: answer longer than " + std::to_string(tqrMaxBody) + " bytes");
        return 0;
    }
    try {
        body.append(data, n);
    } catch (const std::bad_alloc &) {
        say(3, "tqrReadCallback: not enough memory (realloc returned NULL)");
        return 0;
    }
    return n;
}

int tqrGet(const std::string &host, uint16_t port, const std::string &path, const TqrParser &parser) {
    int result = tqrOk;
    std::string url;
    {
        std::lock_guard<std::mutex> lock(tqrMutex);
        try {
            url = tqrBaseUrl(host, port) + (path.empty() || path[0] != '/' ? "/" : "") + path;
            std::string body;
            Easy h = newHandle(url);
            HeaderList list = headerList({"content-type: application/json"});
            curl_easy_setopt(h.get(), CURLOPT_BUFFERSIZE, 102400L);
            curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, tqrReadCallback);
            curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &body);
            curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 1L);
            curl_easy_setopt(h.get(), CURLOPT_USERAGENT, "tqr-client");
            curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, list.get());
            curl_easy_setopt(h.get(), CURLOPT_MAXREDIRS, 50L);
            curl_easy_setopt(h.get(), CURLOPT_TCP_KEEPALIVE, 1L);
            curl_easy_setopt(h.get(), CURLOPT_VERBOSE, 0L);
            curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
            const CURLcode rc = curl_easy_perform(h.get());
            const long status = statusOf(h.get());
            if (rc == CURLE_COULDNT_CONNECT) {
                say(1, "Couldn't connect to TQR server at " + url);
                result = tqrRefused;
            } else if (rc != CURLE_OK) {
                if (status != 0) {
                    say(6, "Received " + std::to_string(status) + " for " + url);
                    result = static_cast<int>(status);
                } else {
                    sayNoAnswer(url, rc);
                    result = tqrNoStatus;
                }
            } else if (status == 200 && parser) {
                try {
                    parser(body.c_str(), 1, body.size(), nullptr);
                } catch (const std::invalid_argument &) {
                    result = tqrNotJson;
                } catch (const std::out_of_range &) {
                    result = tqrMissingKey;
                } catch (const std::exception &e) {
                    say(3, "Parser of " + url + " failed: " + e.what());
                    result = tqrParserFailed;
                } catch (...) {
                    say(3, "Parser of " + url + " failed");
                    result = tqrParserFailed;
                }
            }
        } catch (const std::exception &e) {
            say(3, "GET " + url + " failed: " + e.what());
            result = tqrNoStatus;
        }
    }
    tqrResponseCv.notify_all();
    return result;
}

bool tqrWaitResponse(const std::atomic<uint8_t> &flag, const std::string &timeoutLine,
                     std::chrono::milliseconds wait) {
    if (flag.load() != 0) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::unique_lock<std::mutex> lock(tqrMutex);
    if (!tqrResponseCv.wait_until(lock, deadline, [&] { return flag.load() != 0; })) {
        lock.unlock();
        say(1, timeoutLine);
        return false;
    }
    return true;
}

// ---- PUT and POST ----

int tqrPutAlarms(const std::string &host, uint16_t port, const std::string &body, int) {
    return putAlarmBody(tqrBaseUrl(host, port) + "/api/v1/config/alarms", body);
}

int tqrPutAlarmState(const std::string &host, uint16_t port, int state, int alarmId) {
    return putAlarmBody(tqrBaseUrl(host, port) + "/api/v1/config/alarm/" + std::to_string(alarmId) + "/state",
                        "{\n \"state\":" + std::to_string(state) + "\n}");
}

int tqrLogin(const std::string &host, uint16_t port, const std::string &passcode) {
    int result = tqrNoStatus;
    const std::string url = tqrBaseUrl(host, port) + "/api/v1/login";
    {
        std::lock_guard<std::mutex> lock(tqrMutex);
        try {
            const std::string body = "{\n\t\"enabled\":true,\n\t\"pincode\":\"" + jsonEscaped(passcode) + "\"}";
            const Sent sent = send(url, "POST",
                                   {"cache-control: no-cache", "Connection: keep-alive",
                                    "Content-Length: " + std::to_string(body.size()),
                                    "Accept-Encoding: gzip, deflate", "Cache-Control: no-cache", "Accept: */*",
                                    "User-Agent: Talvik", "Content-Type: application/json"},
                                   body);
            say(7, "Sent PUT " + url);
            result = statusResult(url, sent);
            if (sent.status != 0 && sent.status != 200 && sent.status != 202) {
                say(6, "Received " + std::to_string(sent.status) + " for " + url);
            }
        } catch (const std::exception &e) {
            say(3, "POST " + url + " failed: " + e.what());
        }
    }
    tqrResponseCv.notify_all();
    return result;
}

int tqrPutConfiguration(const std::string &host, uint16_t port, const std::string &path,
                        const std::function<std::string()> &body, const TqrCompletion &completion) {
    int result = CURLE_FAILED_INIT;
    const std::string url = tqrBaseUrl(host, port) + path;
    try {
        result = putConfiguration(url, body(), completion);
    } catch (const std::exception &e) {
        say(3, "PUT " + url + " failed: " + e.what());
    }
    tqrResponseCv.notify_all();
    return result;
}

void tqrPutDone(const char *, size_t, size_t, void *) { tqrResponseReceived[5].store(1); }

// ---- shared by the parsers ----

std::string tqrNodeText(const JsonItem &object, const std::string &key) {
    try {
        return object.requireChild(key).getText();
    } catch (const std::out_of_range &) {
        say(3, key + " node not found in " + object.getText());
        return "";
    }
}

void tqrLogBody(int, const std::string &) {}

std::string boolToString(bool value) {
    std::ostringstream out;
    out << std::boolalpha << value;
    return out.str();
}

bool stringToBool(const std::string &text) {
    // The whole text: a stream would also take "true" from "truex" or " true".
    return text == "true";
}

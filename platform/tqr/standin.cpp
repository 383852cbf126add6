#include "tqr/standin.h"

#include <arpa/inet.h>
#include <gio/gio.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <list>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "live.h"
#include "scenario.h"
#include "velsard_config.h"

namespace tqr {
namespace {

using Json = nlohmann::ordered_json;
using RawHeaders = std::vector<std::pair<std::string, std::string>>;

// The request head as the client sent it: the header lines in their order,
// which the library's header map does not keep. Set for the request being
// handled on this thread.
thread_local RawHeaders currentHeaders;

RawHeaders parseHead(const std::string &head) {
    RawHeaders headers;
    size_t at = head.find("\r\n"); // past the request line
    while (at != std::string::npos) {
        at += 2;
        const size_t end = head.find("\r\n", at);
        if (end == std::string::npos || end == at) {
            break;
        }
        const std::string line = head.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            size_t v = colon + 1;
            while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) {
                ++v;
            }
            headers.emplace_back(line.substr(0, colon), line.substr(v));
        }
        at = end;
    }
    return headers;
}

bool waitFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

std::string addressText(const sockaddr_storage &a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(a).sin_addr, text, sizeof text);
    } else if (a.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr, text, sizeof text);
    }
    return text;
}

int portOf(const sockaddr_storage &a) {
    if (a.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in &>(a).sin_port);
    }
    if (a.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(a).sin6_port);
    }
    return 0;
}

// A socket stream that keeps the bytes it hands to the request parser
// until the head is complete.
class RecordingStream : public httplib::Stream {
  public:
    explicit RecordingStream(int fd) : fd_(fd) {}

    bool is_readable() const override { return next_ < buffered_.size() || waitFor(fd_, POLLIN, 5000); }
    bool is_writable() const override { return waitFor(fd_, POLLOUT, 5000); }

    ssize_t read(char *ptr, size_t size) override {
        if (next_ >= buffered_.size()) {
            if (!waitFor(fd_, POLLIN, 5000)) {
                return -1;
            }
            char chunk[4096];
            ssize_t n;
            do {
                n = ::recv(fd_, chunk, sizeof chunk, 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                return n;
            }
            buffered_.assign(chunk, static_cast<size_t>(n));
            next_ = 0;
        }
        const size_t n = std::min(size, buffered_.size() - next_);
        std::memcpy(ptr, buffered_.data() + next_, n);
        if (recording_ && head_.size() < 65536) {
            head_.append(ptr, n);
        }
        next_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable()) {
            return -1;
        }
        ssize_t n;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (::getpeername(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            ip = addressText(a);
            port = portOf(a);
        }
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
            ip = addressText(a);
            port = portOf(a);
        }
    }
    socket_t socket() const override { return fd_; }

    bool hasBuffered() const { return next_ < buffered_.size(); }
    void startHead() {
        head_.clear();
        recording_ = true;
    }
    std::string takeHead() {
        recording_ = false;
        return std::move(head_);
    }

  private:
    int fd_;
    std::string buffered_;
    size_t next_ = 0;
    bool recording_ = false;
    std::string head_;
};

// One thread per connection, so that a request kept waiting by a delay
// never holds up another one, the control requests above all.
class ThreadPerConnection : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([fn = std::move(fn), done] {
                                fn();
                                done->store(true);
                            }),
                            done});
    }
    void shutdown() override {
        std::list<Worker> workers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            workers.swap(workers_);
        }
        for (Worker &w : workers) {
            w.thread.join();
        }
    }

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mutex_;
    std::list<Worker> workers_;
};

class RecordingServer : public httplib::Server {
  public:
    RecordingServer() {
        new_task_queue = [] { return new ThreadPerConnection; };
    }

  private:
    // As the library's own loop, with the stream above.
    bool process_and_close_socket(socket_t sock) override {
        bool ret = false;
        {
            RecordingStream stream(sock);
            for (size_t count = 8; count > 0 && svr_sock_ != INVALID_SOCKET; --count) {
                if (!stream.hasBuffered() && !idleWait(sock)) {
                    break;
                }
                bool closed = false;
                stream.startHead();
                ret = process_request(stream, count == 1, closed,
                                      [&stream](httplib::Request &) { currentHeaders = parseHead(stream.takeHead()); });
                if (!ret || closed) {
                    break;
                }
            }
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ret;
    }

    // Waits for the next request of a kept-alive connection, and gives up
    // when the server stops.
    bool idleWait(int sock) {
        for (int slice = 0; slice < 50; ++slice) {
            if (svr_sock_ == INVALID_SOCKET) {
                return false;
            }
            if (waitFor(sock, POLLIN, 100)) {
                return true;
            }
        }
        return false;
    }
};

struct Override {
    std::optional<int> status;
    std::optional<std::string> body;
    long delayMs = 0;
};

struct Logged {
    std::string method;
    std::string target;
    RawHeaders headers;
    std::string body;
};

bool validUtf8(const std::string &s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t more = 0;
        unsigned low = 0x80, high = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        for (size_t k = 1; k <= more; ++k) {
            if (i + k >= s.size()) {
                return false;
            }
            const auto b = static_cast<unsigned char>(s[i + k]);
            if (b < low || b > high) {
                return false;
            }
            low = 0x80;
            high = 0xBF;
        }
        i += more + 1;
    }
    return true;
}

std::string base64(const std::string &bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], digits[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {digits[v >> 18], digits[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {digits[v >> 18], digits[(v >> 12) & 63], digits[(v >> 6) & 63], '='};
    }
    return out;
}

constexpr size_t kMaxLogged = 100000;
const char *const kJsonType = "application/json; charset=utf-8"; // a type the library does not compress

} // namespace

struct StandIn::State {
    Options options;
    std::map<std::string, Json> scenario; // as read at start
    std::map<std::string, Json> store;    // with what was PUT since
    std::set<std::string> fromFiles;      // endpoints the scenario folder gives

    RecordingServer server;
    std::thread listener;
    int boundPort = 0;
    bool started = false;

    std::mutex mutex;
    std::condition_variable released;
    bool stopping = false;
    std::map<std::pair<std::string, std::string>, Override> overrides; // (method, path)
    std::map<std::pair<std::string, std::string>, uint64_t> releases;
    std::deque<Logged> log;
    uint64_t dropped = 0;

    Generator generator{Json::object()};
    LiveMode mode = LiveMode::frozen;
    std::thread clock;

    GDBusConnection *bus = nullptr;
    std::mutex busMutex;

    std::unique_ptr<VelsardReader> velsard; // with Options::fromVelsard
    bool velsardFailing = false;            // under mutex

    explicit State(Options o) : options(std::move(o)) {
        if (options.loads < 1 || options.loads > 48) {
            throw std::runtime_error("--loads must be 1 to 48");
        }
        scenario = loadScenario(options.scenarioDir, options.loads, &fromFiles);
        if (options.fromVelsard) {
            velsard = std::make_unique<VelsardReader>();
            const VelsardConfig config = velsard->read(kBaseInstance);
            takeFromVelsard(scenario, config);
        }
        store = scenario;
        generator = Generator(store["config/mapping"], nominalFrequency());
        mode = options.mode;
    }

    ~State() {
        if (bus != nullptr) {
            g_object_unref(bus);
        }
    }

    void routes();
    void serve(const httplib::Request &req, httplib::Response &res);
    void control(const std::string &method, const std::string &path, const httplib::Request &req,
                 httplib::Response &res);
    void api(const std::string &method, const std::string &path, const std::string &body, httplib::Response &res);
    Json live(const std::string &endpoint);
    void notifyVelsard();
    void releaseAll();
    void tick();
    void takeFromVelsard(std::map<std::string, Json> &endpoints, const VelsardConfig &config);
    std::optional<VelsardConfig> readVelsard(const std::string &method, const std::string &path);
    double nominalFrequency();
};

namespace {

void answer(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, kJsonType);
}

void answerJson(httplib::Response &res, int status, const Json &body) { answer(res, status, body.dump()); }

void ok(httplib::Response &res) { answerJson(res, 200, {{"status", "ok"}}); }

void fail(httplib::Response &res, int status, const std::string &why) { answerJson(res, status, {{"error", why}}); }

bool wholeNumber(const std::string &text, long &value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stol(text);
    return true;
}

} // namespace

void StandIn::State::routes() {
    auto handler = [this](const httplib::Request &req, httplib::Response &res) { serve(req, res); };
    server.Get(".*", handler);
    server.Put(".*", handler);
    server.Post(".*", handler);
    server.Delete(".*", handler);
    server.set_keep_alive_timeout(5);
}

void StandIn::State::serve(const httplib::Request &req, httplib::Response &res) {
    const std::string &path = req.path;
    if (path.rfind("/_stub/", 0) == 0) {
        control(req.method, path, req, res);
        return;
    }
    const std::optional<VelsardConfig> fresh = readVelsard(req.method, path);
    std::unique_lock<std::mutex> lock(mutex);
    if (fresh) {
        const Json mapping = store["config/mapping"];
        takeFromVelsard(store, *fresh);
        // The generator follows a new mapping from its first step.
        if (store["config/mapping"] != mapping) {
            generator = Generator(store["config/mapping"], nominalFrequency());
        }
    }
    if (log.size() >= kMaxLogged) {
        log.pop_front();
        ++dropped;
    }
    log.push_back({req.method, req.target, currentHeaders, req.body});
    const auto key = std::make_pair(req.method, path);
    auto it = overrides.find(key);
    if (it != overrides.end() && it->second.delayMs > 0) {
        const uint64_t release = releases[key];
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(it->second.delayMs);
        released.wait_until(lock, until, [&] { return stopping || releases[key] != release; });
        it = overrides.find(key);
    }
    if (it != overrides.end() && (it->second.status || it->second.body)) {
        const int status = it->second.status.value_or(200);
        if (it->second.body) {
            answer(res, status, *it->second.body);
        } else if (status < 200 || status == 204 || status == 304) {
            res.status = status;
        } else if (status < 300) {
            ok(res);
        } else {
            fail(res, status, "status set by the test");
        }
        return;
    }
    bool notify = false;
    api(req.method, path, req.body, res);
    notify = options.notifyVelsard && res.status == 200 && req.method == "PUT" &&
             (path == "/api/v1/config/alarms" || (path.rfind("/api/v1/config/alarm/", 0) == 0));
    lock.unlock();
    if (notify) {
        notifyVelsard();
    }
}

// Called with mutex held.
void StandIn::State::api(const std::string &method, const std::string &path, const std::string &body,
                         httplib::Response &res) {
    const std::string prefix = "/api/v1/";
    if (path.rfind(prefix, 0) != 0) {
        fail(res, 404, "no such endpoint");
        return;
    }
    const std::string endpoint = path.substr(prefix.size());
    if (method == "GET") {
        if (endpoint == "system/time") {
            Json time = store["system/time"];
            if (!time.contains("time")) {
                time["time"] = static_cast<long long>(std::time(nullptr));
            }
            answerJson(res, 200, time);
        } else if (endpoint.rfind("data/", 0) == 0 && store.count(endpoint) == 0 &&
                   (endpoint == "data/loads" || endpoint == "data/inputs" || endpoint == "data/pulses")) {
            answerJson(res, 200, live(endpoint));
        } else if (store.count(endpoint) != 0 && endpoint != "system/time") {
            answerJson(res, 200, store[endpoint]);
        } else {
            fail(res, 404, "no such endpoint");
        }
        return;
    }
    static const std::regex alarmState("config/alarm/(-?[0-9]{1,9})/state");
    std::smatch m;
    const bool known = (method == "PUT" && (endpoint == "config/alarms" || endpoint == "config/info" ||
                                            endpoint == "config/communication" ||
                                            std::regex_match(endpoint, m, alarmState))) ||
                       (method == "POST" && endpoint == "login");
    if (!known) {
        fail(res, 404, "no such endpoint");
        return;
    }
    const Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded()) {
        fail(res, 400, "the body is not JSON");
        return;
    }
    if (endpoint == "login") {
        auto pin = value.is_object() ? value.find("pincode") : value.end();
        if (!value.is_object() || pin == value.end() || !pin->is_string()) {
            fail(res, 400, "no pincode");
        } else if (pin->get<std::string>() == options.pincode) {
            ok(res);
        } else {
            fail(res, 401, "wrong pincode");
        }
    } else if (endpoint == "config/alarms") {
        if (!value.is_array()) {
            fail(res, 400, "the alarms are not a list");
            return;
        }
        store["config/alarms"] = value;
        ok(res);
    } else if (endpoint == "config/info") {
        auto texts = value.is_object() ? value.find("siteinfo") : value.end();
        if (value.is_object() && texts == value.end()) {
            texts = value.find("siteInfo");
        }
        if (!value.is_object() || texts == value.end() || !texts->is_object()) {
            fail(res, 400, "no siteinfo object");
            return;
        }
        Json &stored = store["config/info"]["siteInfo"];
        for (auto member = texts->begin(); member != texts->end(); ++member) {
            stored[member.key()] = member.value();
        }
        ok(res);
    } else if (endpoint == "config/communication") {
        if (!value.is_object()) {
            fail(res, 400, "the configuration is not an object");
            return;
        }
        Json &stored = store["config/communication"];
        for (auto member = value.begin(); member != value.end(); ++member) {
            Json v = member.value();
            // Stored as sent, served under the names TQR answers with.
            if (member.key() == "type" && v == "mod_tcp") {
                v = "mb_tcp";
            } else if (member.key() == "type" && v == "mod_rtu") {
                v = "mb_rtu";
            }
            if (v.is_object() && stored.contains(member.key()) && stored[member.key()].is_object()) {
                for (auto inner = v.begin(); inner != v.end(); ++inner) {
                    stored[member.key()][inner.key()] = inner.value();
                }
            } else {
                stored[member.key()] = v;
            }
        }
        ok(res);
    } else {
        const long id = std::stol(m[1].str());
        auto state = value.is_object() ? value.find("state") : value.end();
        if (!value.is_object() || state == value.end() || !state->is_number_integer()) {
            fail(res, 400, "no integer state");
            return;
        }
        for (Json &alarm : store["config/alarms"]) {
            if (alarm.is_object() && alarm.contains("id") && alarm["id"] == id) {
                alarm["state"] = *state;
                ok(res);
                return;
            }
        }
        fail(res, 404, "no such alarm");
    }
}

// Called with mutex held. What the scenario folder gives stays, and so do
// the site texts of the information.
void StandIn::State::takeFromVelsard(std::map<std::string, Json> &endpoints, const VelsardConfig &config) {
    if (fromFiles.count("config/mapping") == 0) {
        endpoints["config/mapping"] = config.mapping;
    }
    if (fromFiles.count("config/pulse") == 0) {
        endpoints["config/pulse"] = config.pulse;
    }
    if (fromFiles.count("config/info") == 0) {
        Json &defaults = endpoints["config/info"]["defaults"];
        for (auto member = config.defaults.begin(); member != config.defaults.end(); ++member) {
            defaults[member.key()] = member.value();
        }
    }
}

// Called with mutex held.
double StandIn::State::nominalFrequency() {
    const Json &info = store.count("config/info") != 0 ? store["config/info"] : scenario["config/info"];
    if (info.is_object() && info.contains("defaults") && info["defaults"].is_object()) {
        const Json &f = info["defaults"]["frequency"];
        if (f.is_number() && f.get<double>() > 0) {
            return f.get<double>();
        }
    }
    return 60;
}

// velsard's configuration for a request that answers from it, read before
// the stand-in's lock is taken; nothing when it cannot be read (the last
// one read stays, and the failure is told once until a read succeeds).
std::optional<VelsardConfig> StandIn::State::readVelsard(const std::string &method, const std::string &path) {
    static const std::set<std::string> users = {"/api/v1/config/mapping", "/api/v1/config/pulse",
                                                "/api/v1/config/info", "/api/v1/data/loads", "/api/v1/data/inputs"};
    if (!velsard || method != "GET" || users.count(path) == 0) {
        return std::nullopt;
    }
    try {
        VelsardConfig config = velsard->read(kBaseInstance);
        std::lock_guard<std::mutex> lock(mutex);
        if (velsardFailing) {
            std::cerr << "tqr: velsard's configuration is read again" << std::endl;
            velsardFailing = false;
        }
        return config;
    } catch (const std::exception &e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!velsardFailing) {
            std::cerr << "tqr: " << e.what() << "; the configuration read before stays" << std::endl;
            velsardFailing = true;
        }
        return std::nullopt;
    }
}

Json StandIn::State::live(const std::string &endpoint) {
    if (options.live == LiveSource::meter && endpoint != "data/pulses") {
        const char *root = std::getenv("METER_ROOT");
        const std::string r = root != nullptr ? root : "";
        return endpoint == "data/loads" ? meterLoads(r, store["config/mapping"])
                                        : meterInputs(r, store["config/mapping"]);
    }
    if (endpoint == "data/loads") {
        return generator.loads();
    }
    if (endpoint == "data/inputs") {
        return generator.inputs();
    }
    return generator.pulses();
}

void StandIn::State::control(const std::string &method, const std::string &path, const httplib::Request &req,
                             httplib::Response &res) {
    std::unique_lock<std::mutex> lock(mutex);
    for (const char *kind : {"/_stub/body/", "/_stub/status/", "/_stub/delay/"}) {
        const std::string k = kind;
        if (path.rfind(k, 0) != 0) {
            continue;
        }
        if (method != "PUT") {
            fail(res, 404, "no such control");
            return;
        }
        const std::string target = "/" + path.substr(k.size());
        std::string forMethod = "GET";
        if (req.has_param("method")) {
            forMethod = req.get_param_value("method");
            if (forMethod != "GET" && forMethod != "PUT" && forMethod != "POST") {
                fail(res, 400, "method must be GET, PUT or POST");
                return;
            }
        }
        const auto key = std::make_pair(forMethod, target);
        if (k == "/_stub/body/") {
            overrides[key].body = req.body;
        } else {
            long value = 0;
            if (!wholeNumber(req.body, value)) {
                fail(res, 400, "the body must be a whole number");
                return;
            }
            if (k == "/_stub/status/") {
                if (value < 100 || value > 599) {
                    fail(res, 400, "a status is 100 to 599");
                    return;
                }
                overrides[key].status = static_cast<int>(value);
            } else {
                overrides[key].delayMs = value;
                if (value == 0) {
                    ++releases[key];
                    released.notify_all();
                }
            }
        }
        ok(res);
        return;
    }
    if (path == "/_stub/endpoints" && method == "DELETE") {
        overrides.clear();
        for (auto &[key, count] : releases) {
            ++count;
        }
        released.notify_all();
        store = scenario;
        ok(res);
    } else if (path == "/_stub/log" && method == "GET") {
        Json requests = Json::array();
        for (const Logged &l : log) {
            Json headers = Json::array();
            for (const auto &[name, value] : l.headers) {
                headers.push_back({name, value});
            }
            Json entry = {{"method", l.method}, {"target", l.target}, {"headers", headers}};
            if (validUtf8(l.body)) {
                entry["body"] = l.body;
            } else {
                entry["body_base64"] = base64(l.body);
            }
            requests.push_back(entry);
        }
        answerJson(res, 200, {{"dropped", dropped}, {"requests", requests}});
    } else if (path == "/_stub/log" && method == "DELETE") {
        log.clear();
        dropped = 0;
        ok(res);
    } else if (path == "/_stub/live/freeze" && method == "POST") {
        mode = LiveMode::frozen;
        ok(res);
    } else if (path == "/_stub/live/step" && method == "POST") {
        mode = LiveMode::stepped;
        generator.step();
        answerJson(res, 200, {{"status", "ok"}, {"steps", generator.steps()}});
    } else if (path == "/_stub/live/run" && method == "POST") {
        mode = LiveMode::running;
        ok(res);
    } else {
        fail(res, 404, "no such control");
    }
}

void StandIn::State::notifyVelsard() {
    std::lock_guard<std::mutex> lock(busMutex);
    GError *error = nullptr;
    if (bus == nullptr) {
        bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
        if (bus == nullptr) {
            std::cerr << "tqr: no system bus to notify velsard: " << error->message << std::endl;
            g_error_free(error);
            return;
        }
    }
    GVariant *reply =
        g_dbus_connection_call_sync(bus, "com.velsard.Test", "/com/velsard/test", "com.velsard.Test", "Emit",
                                    g_variant_new("(s)", "NewAlarmState"), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                                    nullptr, &error);
    if (reply == nullptr) {
        std::cerr << "tqr: velsard was not told of the new alarm state: " << error->message << std::endl;
        g_error_free(error);
        return;
    }
    g_variant_unref(reply);
}

void StandIn::State::tick() {
    std::unique_lock<std::mutex> lock(mutex);
    auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!stopping) {
        released.wait_until(lock, next, [&] { return stopping; });
        if (stopping) {
            break;
        }
        if (std::chrono::steady_clock::now() >= next) {
            if (mode == LiveMode::running) {
                generator.step();
            }
            next += std::chrono::seconds(1);
        }
    }
}

StandIn::StandIn(Options options) : state_(std::make_unique<State>(std::move(options))) { state_->routes(); }

StandIn::~StandIn() { stop(); }

void StandIn::start() {
    State &s = *state_;
    if (s.started) {
        return;
    }
    if (s.options.port == 0) {
        s.boundPort = s.server.bind_to_any_port(s.options.host);
        if (s.boundPort <= 0) {
            throw std::runtime_error("cannot listen on " + s.options.host);
        }
    } else {
        if (!s.server.bind_to_port(s.options.host, s.options.port)) {
            throw std::runtime_error("cannot listen on " + s.options.host + ":" + std::to_string(s.options.port));
        }
        s.boundPort = s.options.port;
    }
    s.started = true;
    s.listener = std::thread([&s] { s.server.listen_after_bind(); });
    s.clock = std::thread([&s] { s.tick(); });
    // A stop before the server runs would not reach it.
    while (!s.server.is_running()) {
        std::this_thread::yield();
    }
}

void StandIn::stop() {
    State &s = *state_;
    if (!s.started) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = true;
        s.released.notify_all();
    }
    s.server.stop();
    s.listener.join();
    s.clock.join();
    s.started = false;
}

uint16_t StandIn::port() const { return static_cast<uint16_t>(state_->boundPort); }

std::string StandIn::url() const { return "http://" + state_->options.host + ":" + std::to_string(port()); }

} // namespace tqr

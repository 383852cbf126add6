#include "ulvora/server.h"

#include "ulvora/log.h"
#include "ulvora/records.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr int kTcpBackend = 0;
constexpr int kRtuBackend = 2;
// libmodbus waits for a request's bytes with select(), which takes only
// descriptors below FD_SETSIZE; a client above cannot be served.
constexpr int kDescriptorLimit = FD_SETSIZE;
constexpr auto kAcceptPause = std::chrono::seconds(1);
constexpr int kAcceptBurst = 64;

struct Server {
    modbus_config config{};
    modbus_t *ctx = nullptr;
    modbus_mapping_t *reg_map = nullptr;
    std::vector<uint8_t> query;
    int listen_socket = -1;
    uint64_t image_generation = 0;
};

Server mb_server;
std::atomic<bool> running{false};
std::atomic<bool> stop_pending{false};
std::atomic<int> tcp_port{0};
std::string last_failure; // the failure logged last; repeats are not logged again

int wake_fd() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void drain_wake() {
    uint64_t value;
    while (read(wake_fd(), &value, sizeof value) > 0) {
    }
}

// A failure of the set-up or of the start of serving: logged when it is not
// the one logged last, since the main loop retries it every second.
void failure(int priority, const std::string &text) {
    if (text != last_failure) {
        slog_string(priority, text);
        last_failure = text;
    }
}

std::string errno_text() { return modbus_strerror(errno); }


void close_client(std::vector<pollfd> &fds, size_t index, bool log) {
    if (log) {
        slog_string(LOG_INFO, "Connection closed on socket " + std::to_string(fds[index].fd) + "\n");
    }
    close(fds[index].fd);
    fds.erase(fds.begin() + static_cast<long>(index));
}

int run_tcp() {
    Server &s = mb_server;
    s.listen_socket = modbus_tcp_listen(s.ctx, 5);
    if (s.listen_socket == -1) {
        failure(LOG_ERR, "failed to setup TCP listener: " + errno_text());
        return 0;
    }
    fcntl(s.listen_socket, F_SETFD, FD_CLOEXEC);
    fcntl(s.listen_socket, F_SETFL, fcntl(s.listen_socket, F_GETFL) | O_NONBLOCK);
    sockaddr_in bound{};
    socklen_t bound_len = sizeof bound;
    if (getsockname(s.listen_socket, reinterpret_cast<sockaddr *>(&bound), &bound_len) == 0) {
        tcp_port = ntohs(bound.sin_port);
    }
    last_failure.clear();
    slog_string(LOG_DEBUG, "Waiting on a client connection...");

    // fds[0] the stop's wake-up, fds[1] the listening socket, then the clients.
    std::vector<pollfd> fds = {{wake_fd(), POLLIN, 0}, {s.listen_socket, POLLIN, 0}};
    bool accept_failing = false;
    std::chrono::steady_clock::time_point accept_again{};
    while (!stop_pending) {
        int timeout = -1;
        if (accept_failing) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                accept_again - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                fds[1].events = POLLIN;
            } else {
                fds[1].events = 0;
                timeout = static_cast<int>(left.count()) + 1;
            }
        }
        const int ready = poll(fds.data(), fds.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            slog_string(LOG_INFO, "Server select failure.");
            break;
        }
        if (fds[0].revents != 0) {
            drain_wake();
            continue;
        }
        // Every waiting connection is taken at once: with a backlog of 5 a
        // queue left full makes new clients wait for their SYN to be resent.
        for (int taken = 0; (fds[1].revents & POLLIN) != 0 && taken < kAcceptBurst; ++taken) {
            sockaddr_in peer{};
            socklen_t peer_len = sizeof peer;
            const int fd = accept4(s.listen_socket, reinterpret_cast<sockaddr *>(&peer), &peer_len, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
                    // No descriptor left, for example: accepting again at
                    // once would only fail again, so the listener rests.
                    if (!accept_failing) {
                        slog_string(LOG_WARNING, std::string("Server accept() error: ") + std::strerror(errno));
                    }
                    accept_failing = true;
                    accept_again = std::chrono::steady_clock::now() + kAcceptPause;
                }
                break;
            }
            char address[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
            const std::string from = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
            if (accept_failing) {
                slog_string(LOG_WARNING, "Server accept() works again");
                accept_failing = false;
                fds[1].events = POLLIN;
            }
            if (fd >= kDescriptorLimit) {
                slog_string(LOG_WARNING, "Connection from " + from + " closed: socket " + std::to_string(fd) +
                                             " is beyond the " + std::to_string(kDescriptorLimit) +
                                             " that can be served");
                close(fd);
                continue;
            }
            // A client that does not take its replies must not hold the server.
            timeval send_timeout{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
            fds.push_back({fd, POLLIN, 0});
            slog_string(LOG_INFO, "New connection from " + from + " on socket " + std::to_string(fd) + "\n");
        }
        // Backwards, so that a closed client leaves the positions ahead unchanged.
        for (size_t i = fds.size(); i-- > 2;) {
            if (fds[i].revents == 0) {
                continue;
            }
            modbus_set_socket(s.ctx, fds[i].fd);
            const int n = modbus_receive(s.ctx, s.query.data());
            if (n > 0) {
                update_registers();
                if (modbus_reply(s.ctx, s.query.data(), n, s.reg_map) == -1) {
                    close_client(fds, i, true);
                }
            } else if (n == -1) {
                close_client(fds, i, true);
            }
        }
    }
    // Only this thread closes the sockets, so none is closed twice or
    // served after its number was given to another descriptor.
    for (size_t i = fds.size(); i-- > 2;) {
        close_client(fds, i, false);
    }
    modbus_set_socket(s.ctx, -1);
    close(s.listen_socket);
    s.listen_socket = -1;
    tcp_port = 0;
    running = false;
    return 1;
}

void rtu_thread() {
    Server &s = mb_server;
    while (running && !stop_pending) {
        const int n = modbus_receive(s.ctx, s.query.data());
        if (n > 0) {
            update_registers();
            modbus_reply(s.ctx, s.query.data(), n, s.reg_map);
            slog_string(LOG_INFO, "RTU running");
        } else if (n == -1) {
            // A quiet line (the time-out that lets the stop be seen) and a
            // broken frame are no failures of the line.
            if (errno == ETIMEDOUT || errno == EMBBADCRC || errno == EMBBADDATA || errno == EINTR) {
                continue;
            }
            failure(LOG_ERR, "RTU receive failed: " + errno_text());
            break;
        }
    }
    running = false;
}

int run_rtu() {
    Server &s = mb_server;
    if (modbus_connect(s.ctx) == -1) {
        failure(LOG_ERR, "failed to open " + std::string(s.config.device) + ": " + errno_text());
        return 0;
    }
    // A receive returns at least once a second, so the thread sees a stop.
    modbus_set_indication_timeout(s.ctx, 1, 0);
    last_failure.clear();
    std::thread thread;
    try {
        thread = std::thread(rtu_thread);
    } catch (const std::system_error &e) {
        slog_string(LOG_DEBUG, "failed to start rtu_thread: " + std::to_string(e.code().value()));
        modbus_close(s.ctx);
        return 0;
    }
    thread.join();
    modbus_close(s.ctx);
    return 1;
}

} // namespace

void update_registers() {
    Server &s = mb_server;
    std::unique_lock lock(mbRecordsMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;
    }
    const uint64_t generation = mbRecordsGeneration();
    if (generation == s.image_generation) {
        return; // the image already shows these records
    }
    mbBuildImage(mbRecordsLocked(), s.reg_map->tab_input_registers);
    s.image_generation = generation;
}

int ulvora_setup(modbus_config config) {
    Server &s = mb_server;
    s.config = config;
    s.listen_socket = -1;
    slog_string(LOG_DEBUG, "Number of registers: " + std::to_string(MB_INPUT_REGISTERS / 2));
    s.reg_map = modbus_mapping_new(0, 0, 0, MB_INPUT_REGISTERS);
    if (s.reg_map == nullptr) {
        failure(LOG_ERR, "failed to allocate mapping: " + errno_text());
        return 0;
    }
    if (config.backend == kTcpBackend) {
        s.ctx = modbus_new_tcp(config.device, static_cast<int>(config.port));
        if (s.ctx == nullptr) {
            failure(LOG_ERR, "TCP failed to create libmodbus context: " + errno_text());
        }
        if (s.ctx != nullptr) {
            // libmodbus rests this long before it drops what follows a
            // request it refused; one client must not hold the others.
            modbus_set_response_timeout(s.ctx, 0, 10000);
        }
        s.query.assign(MODBUS_TCP_MAX_ADU_LENGTH, 0);
    } else if (config.backend == kRtuBackend) {
        s.ctx = modbus_new_rtu(config.device, static_cast<int>(config.baud), config.parity, config.databits,
                               config.stopbits);
        if (s.ctx == nullptr) {
            failure(LOG_ERR, "RTU failed to create libmodbus context: " + errno_text());
        } else {
            modbus_set_slave(s.ctx, config.address);
        }
        s.query.assign(MODBUS_RTU_MAX_ADU_LENGTH, 0);
    } else {
        failure(LOG_ERR, "no Modbus server for backend " + std::to_string(config.backend));
    }
    if (s.ctx == nullptr) {
        modbus_mapping_free(s.reg_map);
        s.reg_map = nullptr;
        return 0;
    }
    // The first reply must not go out from an empty image while the lock
    // happens to be busy.
    {
        std::lock_guard lock(mbRecordsMutex);
        mbBuildImage(mbRecordsLocked(), s.reg_map->tab_input_registers);
        s.image_generation = mbRecordsGeneration();
    }
    running = !stop_pending;
    return 1;
}

int ulvora_run() {
    if (stop_pending) {
        running = false;
        return 1;
    }
    switch (mb_server.config.backend) {
    case kTcpBackend: return run_tcp();
    case kRtuBackend: return run_rtu();
    default: return 0;
    }
}

void ulvora_cleanup() {
    Server &s = mb_server;
    running = false;
    if (s.reg_map != nullptr) {
        modbus_mapping_free(s.reg_map);
        s.reg_map = nullptr;
    }
    if (s.ctx != nullptr) {
        modbus_free(s.ctx);
        s.ctx = nullptr;
    }
    s.query.clear();
}

void ulvora_stop() {
    stop_pending = true;
    running = false;
    const uint64_t one = 1;
    if (write(wake_fd(), &one, sizeof one) < 0) {
        // The counter is full: a wake-up is pending anyway.
    }
}

bool ulvora_stop_requested() { return stop_pending; }

void ulvora_stop_reset() {
    stop_pending = false;
    drain_wake();
}

int ulvora_is_running() { return running ? 1 : 0; }

int ulvora_tcp_port() { return tcp_port; }

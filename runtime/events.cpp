#include "runtime/events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <csignal>
#include <thread>

#include "arvent.h"
#include "meter/sysio.h"
#include "runtime/log.h"
#include "runtime/tqr/transport.h"

std::atomic<bool> shuttingDown{false};
const char *const alarmConfigFile = "/config/alarm.bin";

// ---- restart requests ----

RestartRequests::RestartRequests(std::atomic<bool> &flag, Now now)
    : flag_(flag), now_(std::move(now)), lastAccepted_(now_()) {}

void RestartRequests::request() { flag_.store(true); }

bool RestartRequests::requestRateLimited() {
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = now_();
        if (now - lastAccepted_ > alarmStateSpacing) {
            lastAccepted_ = now;
            accepted = true;
        } else if (!due_ || *due_ > lastAccepted_ + alarmStateSpacing) {
            // Too soon after the last one: the change still has to be taken
            // up, once the spacing has passed.
            due_ = lastAccepted_ + alarmStateSpacing;
            dueIsAlarmState_ = true;
        }
    }
    if (accepted) {
        flag_.store(true);
        logMessage(LogLevel::Notice, "resetRequested = True");
    } else {
        logMessage(LogLevel::Notice, "resetRequested = False");
    }
    return accepted;
}

void RestartRequests::requestAfter(Clock::duration delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point at = now_() + delay;
    if (!due_ || at < *due_) {
        due_ = at;
        dueIsAlarmState_ = false;
    }
}

bool RestartRequests::take() {
    bool fellDue = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (due_ && now_() >= *due_) {
            if (dueIsAlarmState_) {
                lastAccepted_ = *due_;
            }
            fellDue = dueIsAlarmState_;
            flag_.store(true);
        }
        if (!flag_.exchange(false)) {
            return false;
        }
        due_.reset();
    }
    if (fellDue) {
        logMessage(LogLevel::Notice, "resetRequested = True");
    }
    return true;
}

std::optional<RestartRequests::Clock::time_point> RestartRequests::dueAt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return due_;
}

namespace {
std::atomic<RestartRequests *> restartsInUse{nullptr};
} // namespace

RestartRequests &runtimeRestarts() {
    if (RestartRequests *chosen = restartsInUse.load()) {
        return *chosen;
    }
    static RestartRequests restarts(resetRequested, [] { return RestartRequests::Clock::now(); });
    return restarts;
}

void runtimeUseRestarts(RestartRequests *restarts) { restartsInUse.store(restarts); }

void runtimeRequestReset() { runtimeRestarts().requestRateLimited(); }

// ---- signals and the stop ----

namespace {

std::mutex stopMutex;
std::condition_variable stopCv;

sigset_t runtimeSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        sigaddset(&set, signo);
    }
    return set;
}

struct SignalThread {
    std::thread thread;
    int signalFd = -1;
    int wakeFd = -1;
};
SignalThread signalThread;

void closeFd(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void takeSignals(int signalFd, int wakeFd) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            logMessage(LogLevel::Error, std::string("Signal thread ends: poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        const ssize_t n = ::read(signalFd, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) {
            runtimeHandleSignal(static_cast<int>(info.ssi_signo));
        }
    }
}

} // namespace

bool runtimeBlockSignals() {
    const sigset_t set = runtimeSignals();
    const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

bool runtimeSignalThreadStart() {
    if (signalThread.thread.joinable()) {
        return true;
    }
    const sigset_t set = runtimeSignals();
    signalThread.signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
    signalThread.wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (signalThread.signalFd < 0 || signalThread.wakeFd < 0) {
        logMessage(LogLevel::Emergency, std::string("Cannot take signals: ") + std::strerror(errno));
        closeFd(signalThread.signalFd);
        closeFd(signalThread.wakeFd);
        return false;
    }
    try {
        signalThread.thread = std::thread(takeSignals, signalThread.signalFd, signalThread.wakeFd);
    } catch (const std::system_error &e) {
        logMessage(LogLevel::Emergency, std::string("Cannot start the signal thread: ") + e.what());
        closeFd(signalThread.signalFd);
        closeFd(signalThread.wakeFd);
        return false;
    }
    return true;
}

void runtimeSignalThreadStop() {
    if (!signalThread.thread.joinable()) {
        return;
    }
    const uint64_t one = 1;
    if (::write(signalThread.wakeFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        logMessage(LogLevel::Error, std::string("Cannot wake the signal thread: ") + std::strerror(errno));
    }
    signalThread.thread.join();
    closeFd(signalThread.signalFd);
    closeFd(signalThread.wakeFd);
}

void runtimeRequestStop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        shuttingDown.store(true);
    }
    stopCv.notify_all();
}

void runtimeHandleSignal(int signo) {
    switch (signo) {
    case SIGHUP:
        logMessage(LogLevel::Emergency, "SIGHUP caught, restarting.");
        runtimeRestarts().request();
        return;
    case SIGINT:
        logMessage(LogLevel::Emergency, "SIGINT caught, shutting down.");
        break;
    case SIGQUIT:
        logMessage(LogLevel::Emergency, "SIGQUIT caught, shutting down.");
        break;
    case SIGTERM:
        logMessage(LogLevel::Emergency, "SIGTERM caught, shutting down.");
        break;
    default:
        logMessage(LogLevel::Emergency, "Unknown signal " + std::to_string(signo) + " caught, shutting down");
        break;
    }
    // A stop is carried out once, by the main thread; a second one would
    // clean up what the first is cleaning up.
    if (shuttingDown.load()) {
        return;
    }
    runtimeRequestStop();
}

bool runtimePause(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopCv.wait_for(lock, wait, [] { return shuttingDown.load(); });
}

// ---- configuration events ----

std::string runtimeBacnetConfigText(const bacnet_config &c) {
    const auto text = [](const char *field, size_t size) { return std::string(field, strnlen(field, size)); };
    return "Version: " + std::to_string(c.version) + " Active: " + (c.active ? "true" : "false") +
           " Type: " + std::to_string(static_cast<int32_t>(c.type)) + " Baud: " + std::to_string(c.baud) +
           " UDP Port: " + std::to_string(c.udp_port) + " Instance: " + std::to_string(c.instance) +
           " Name: " + text(c.name, sizeof c.name) + " VNET: " + std::to_string(c.vnet) +
           " BBMD: " + text(c.bbmd, sizeof c.bbmd) + " TTL: " + std::to_string(c.ttl) +
           " MS/TP MAC: " + std::to_string(c.mstp_mac) + " MS/TP Max Master: " + std::to_string(c.mstp_max_master) +
           " MS/TP Info Frames: " + std::to_string(c.mstp_info_frames);
}

void runtimeLogBacnetConfig(const bacnet_config &record) {
    logMessage(LogLevel::Debug, runtimeBacnetConfigText(record));
}

bool runtimeGetBacnetConfig(bacnet_config &record) {
    *reinterpret_cast<uint8_t *>(&record) = sizeof(bacnet_config);
    if (ipc_bacnet_config_get(&record) == 0) {
        logMessage(LogLevel::Emergency, "Failed to get BACnet config");
        return false;
    }
    runtimeLogBacnetConfig(record);
    return true;
}

int runtimeDeleteAlarmConfig() {
    struct stat st{};
    if (sys_stat(alarmConfigFile, &st) == 0) {
        // The file only; a folder of that name is not the alarm file.
        if (sys_unlink(alarmConfigFile) != 0) {
            logMessage(LogLevel::Error,
                       std::string("Cannot remove ") + alarmConfigFile + ": " + std::strerror(errno));
        }
    }
    const int result = tqrPutAlarms(tqrHost, tqrPort, "[]", 0);
    if (result == 200) {
        logMessage(LogLevel::Notice, "Portal alarms successfully emptied.");
    }
    return result;
}

void runtimeHandleIpcEvent(int kind, RestartRequests &restarts, TqrOwnAlarmPuts &ownPuts) {
    logMessage(LogLevel::Debug, "Rec'd a IPC message: " + std::to_string(kind));
    switch (kind) {
    case IPC_NEW_MAPPING:
        logMessage(LogLevel::Debug, "Rec'd a new mapping IPC message. Restarting...");
        restarts.request();
        break;
    case IPC_NEW_BACNET_CONFIG: {
        logMessage(LogLevel::Debug, "Rec'd a new BACnet config IPC message. Restarting...");
        // Only logged: the BACnet settings come from TQR after the restart.
        bacnet_config record{};
        runtimeGetBacnetConfig(record);
        restarts.request();
        break;
    }
    case IPC_NEW_ALARM_STATE:
        if (ownPuts.consume(restarts.now())) {
            logMessage(LogLevel::Debug, "I just told you go into alarm, ignore that TQR says we're in alarm!");
        } else {
            logMessage(LogLevel::Debug, "Rec'd a new alarm state IPC message. Restarting...");
            restarts.requestRateLimited();
        }
        break;
    case IPC_FACTORY_RESET:
        logMessage(LogLevel::Notice, "Deleting alarm configuration.");
        runtimeDeleteAlarmConfig();
        break;
    case IPC_NEW_IP_ADDRESS:
        logMessage(LogLevel::Debug, "Rec'd a new IP address IPC message. Restarting...");
        restarts.request();
        break;
    default:
        break;
    }
}

void runtimeIpcEventHandler(int kind) {
    // An exception must not end libarvent's IPC thread: later events would
    // go unheard until the next start.
    try {
        runtimeHandleIpcEvent(kind, runtimeRestarts(), ignoreNextAlarmState);
    } catch (const std::exception &e) {
        logMessage(LogLevel::Error, "IPC event " + std::to_string(kind) + " failed: " + e.what());
    } catch (...) {
        logMessage(LogLevel::Error, "IPC event " + std::to_string(kind) + " failed");
    }
}

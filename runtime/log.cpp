#include "runtime/log.h"

#include <cxxabi.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <system_error>
#include <typeinfo>

int logLevel = 7;
std::mutex logMutex;
std::string logFilePath;

namespace {

const char *const kLevelNames[] = {"emergency", "alert", "critical", "error", "warning", "notice", "debug"};

} // namespace

const char *logLevelName(int level) {
    if (level < 1 || level > 7) {
        return "debug";
    }
    return kLevelNames[level - 1];
}

void logMessage(int level, const std::string &text) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (level > logLevel || level >= 7) {
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[24] = "";
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y-%b-%dT%H:%M:%S ", &local);
    }
    std::string line;
    line.reserve(sizeof stamp + text.size() + 16);
    line += stamp;
    line += logLevelName(level);
    line += ' ';
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void logSetLevel(int level) {
    mutexInit(logMutex);
    std::lock_guard<std::mutex> lock(logMutex);
    logLevel = level;
}

long logFileSize() {
    struct stat st{};
    if (logFilePath.empty() || ::stat(logFilePath.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<long>(st.st_size);
}

void logRotate() {
    if (logFilePath.empty()) {
        return; // no file to keep; removing the old copy would lose it
    }
    std::remove("./copyof_zor_log.txt");
    std::rename(logFilePath.c_str(), "./copyof_zor_log.txt");
}

void mutexLock(std::mutex &mutex) { mutex.lock(); }

void mutexUnlock(std::mutex &mutex) { mutex.unlock(); }

void mutexInit(std::mutex &) {}

bool mutexTryLock(std::mutex &mutex) { return mutex.try_lock(); }

void mutexLockLogged(std::mutex &mutex) {
    try {
        mutex.lock();
    } catch (...) {
        const std::type_info *type = abi::__cxa_current_exception_type();
        logMessage(LogLevel::Emergency, type != nullptr ? type->name() : "null");
        throw;
    }
}

void mutexDestroy(std::mutex &) {}

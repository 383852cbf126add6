// Talvik's console logger and the lock functions that its code and the
// BACnet stack use around std::mutex objects.
//
// Every line is "<local time %Y-%b-%dT%H:%M:%S> <level name> <text>" on
// standard output, written whole under logMutex. logMessage takes no other
// lock, so it may be called while any other lock of the program is held.
#pragma once

#include <mutex>
#include <string>

enum class LogLevel : int {
    Emergency = 1,
    Alert = 2,
    Critical = 3,
    Error = 4,
    Warning = 5,
    Notice = 6,
    Debug = 7, // never written
};

// The threshold: lines of a level above it are dropped. 7 until main sets
// 6; level 7 lines are dropped whatever it is.
extern int logLevel;
extern std::mutex logMutex;
// Stays empty: the program logs to standard output only.
extern std::string logFilePath;

void logMessage(int level, const std::string &text);
inline void logMessage(LogLevel level, const std::string &text) { logMessage(static_cast<int>(level), text); }
void logSetLevel(int level);
// "emergency" ... "debug"; any code outside 1..7 is "debug".
const char *logLevelName(int level);

// Size in bytes of the file at logFilePath, -1 when it cannot be read.
long logFileSize();
// Keeps the file at logFilePath as "./copyof_zor_log.txt"; does nothing
// while logFilePath is empty.
void logRotate();

// Throws std::system_error when the lock cannot be taken.
void mutexLock(std::mutex &mutex);
void mutexUnlock(std::mutex &mutex);
// Nothing to prepare for a std::mutex; kept for the callers that announce a
// mutex before its first use.
void mutexInit(std::mutex &mutex);
bool mutexTryLock(std::mutex &mutex);
// Locks and returns holding the lock; when locking throws, logs the type of
// the exception at level 1 and rethrows it.
void mutexLockLogged(std::mutex &mutex);
// Nothing to release for a std::mutex.
void mutexDestroy(std::mutex &mutex);

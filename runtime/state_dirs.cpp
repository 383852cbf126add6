#include "runtime/state_dirs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "meter/sysio.h"
#include "runtime/log.h"

const std::string configBasePath = "/config/talvik/";
const std::string loadsStatePath = "/config/talvik/loads/";
const std::string inputsStatePath = "/config/talvik/inputs/";

namespace {

bool refused(const std::string &path, int error) {
    logMessage(LogLevel::Error, "Cannot create " + path + ": " + std::strerror(error));
    return false;
}

} // namespace

bool runtimeMakeDirectories(const std::string &boardPath) {
    std::string path;
    size_t at = 0;
    while (at < boardPath.size()) {
        size_t next = boardPath.find('/', at + 1);
        if (next == std::string::npos) {
            next = boardPath.size();
        }
        const std::string part = boardPath.substr(at, next - at);
        at = next;
        if (part == "/" || part.empty()) {
            continue; // a doubled or trailing slash
        }
        const std::string parent = path.empty() ? "/" : path;
        path += part;
        struct stat st{};
        if (sys_stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return refused(path, ENOTDIR);
            }
            continue;
        }
        if (errno != ENOENT) {
            return refused(path, errno);
        }
        if (sys_mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            return refused(path, errno);
        }
        if (sys_fsync_dir(parent.c_str()) != 0) {
            return refused(path, errno);
        }
    }
    return true;
}

bool runtimeCreateStateDirectories(const std::vector<unsigned> &loadIds, const std::vector<unsigned> &inputIds) {
    bool all = true;
    for (const std::string &path : {configBasePath, loadsStatePath, inputsStatePath}) {
        all = runtimeMakeDirectories(path) && all;
    }
    for (unsigned id : loadIds) {
        all = runtimeMakeDirectories(loadsStatePath + std::to_string(id)) && all;
    }
    for (unsigned id : inputIds) {
        all = runtimeMakeDirectories(inputsStatePath + std::to_string(id)) && all;
    }
    return all;
}

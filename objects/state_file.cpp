#include "objects/state_file.h"

#include "device/program_services.h"
#include "meter/json.h"
#include "meter/sysio.h"
#include "objects/bacnet_object.h"

#include <fcntl.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace {

std::optional<std::string> readWhole(const std::string &path) {
    const int fd = sys_open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char block[1024];
    while (true) {
        const ssize_t n = sys_read_all(fd, block, sizeof block);
        if (n < 0) {
            sys_close(fd);
            return std::nullopt;
        }
        text.append(block, static_cast<size_t>(n));
        if (static_cast<size_t>(n) < sizeof block) {
            break;
        }
    }
    sys_close(fd);
    return text;
}

// A text counts when it is one complete object whose member holds every
// key of the class: then what applies it, else the failure's text.
struct Parsed {
    StateApply apply;
    std::string failure;
};

Parsed parseState(const std::string &text, const std::string &memberName, const StateReader &reader) {
    Parsed parsed;
    if (!stateFileTextComplete(text.data(), text.size())) {
        parsed.failure = "not a complete JSON text";
        return parsed;
    }
    try {
        const JsonItem root = jsonRead(text);
        const auto member = root.findChild(memberName);
        if (root.getType() != JsonItemType::Object || member == root.end()) {
            parsed.failure = memberName + " not found";
        } else if ((*member).getType() != JsonItemType::Object) {
            parsed.failure = memberName + " not an object";
        } else {
            parsed.apply = reader(*member);
        }
    } catch (const std::exception &e) {
        parsed.failure = e.what();
    }
    if (parsed.failure.empty() && !parsed.apply) {
        parsed.failure = "nothing to apply";
    }
    return parsed;
}

// Makes the names created, renamed or removed in the folder durable.
void syncFolder(const std::string &directory) {
    if (sys_fsync_dir(directory.c_str()) != 0) {
        programLog(3, "failed to sync the folder " + directory);
    }
}

// Creates the empty flag file when it is missing.
void ensureFlag(const std::string &directory, const std::string &flag) {
    if (const int present = sys_open(flag.c_str(), O_RDONLY, 0); present >= 0) {
        sys_close(present);
        return;
    }
    const int fd = sys_open(flag.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0) {
        sys_close(fd);
        syncFolder(directory);
    } else if (errno != EEXIST) {
        programLog(3, "failed to create the FLAG analog input file" + flag);
    }
}

}  // namespace

bool stateFileTextComplete(const char *text, size_t length) {
    // The writer writes strict JSON in UTF-8, so a text that is anything
    // less was cut short or damaged.
    return jsonIsStrictText(std::string_view(text, length));
}

// ---- the object's state files ----

std::string BACnetObject::stateFilePath(const std::string &directory, const char *kind) const {
    return directory + "/" + kind + "-" + std::to_string(getInstance());
}

void BACnetObject::writeStateFile(const std::string &directory, const char *kind, const JsonItem &member) {
    const std::string main = stateFilePath(directory, kind);
    const std::string backup = main + "_bu";
    JsonItem root(JsonItemType::Object);
    JsonItem named = member;
    named.setName(std::string(kind) + "-" + std::to_string(getInstance()));
    root.appendChild(named);
    const std::string text = root.toCompactText(1024);

    // Unchanged state writes nothing: a restart saves every object of every
    // load, and rewriting thousands of unchanged files (each with two
    // fsyncs) would hold the restart up for seconds. A backup left by a cut
    // save still goes through the full write below.
    if (const int left = sys_open(backup.c_str(), O_RDONLY, 0); left >= 0) {
        sys_close(left);
    } else if (const auto current = readWhole(main); current && *current == text) {
        ensureFlag(directory, main + "_flag");
        return;
    }

    // The new text goes to the backup file first and replaces the main file
    // only once it is complete and on the disk: a cut at any point leaves
    // the old main file, or a complete backup that the load prefers.
    const int fd = sys_open(backup.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        programLog(1, "failed to backup analog input file" + main);
        return;
    }
    const bool written = sys_write_all(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         sys_fsync(fd) == 0;
    const bool closed = sys_close(fd) == 0;
    if (!written || !closed) {
        programLog(1, "failed to backup analog input file" + main);
        sys_unlink(backup.c_str());
        return;
    }
    if (sys_rename(backup.c_str(), main.c_str()) != 0) {
        programLog(1, "failed to rename analog input file" + backup);
        return;
    }
    syncFolder(directory);
    ensureFlag(directory, main + "_flag");
}

bool BACnetObject::readStateFile(const std::string &directory, const char *kind, const StateReader &reader) {
    const std::string main = stateFilePath(directory, kind);
    const std::string backup = main + "_bu";
    const std::string memberName = std::string(kind) + "-" + std::to_string(getInstance());

    // A backup exists only when a save was cut short: it wins when it is
    // complete, and is dropped otherwise.
    if (const auto text = readWhole(backup)) {
        const Parsed parsed = parseState(*text, memberName, reader);
        if (parsed.failure.empty()) {
            parsed.apply();
            if (sys_rename(backup.c_str(), main.c_str()) != 0) {
                programLog(1, "failed to rename analog input file" + backup);
            } else {
                syncFolder(directory);
            }
            ensureFlag(directory, main + "_flag");
            return true;
        }
        if (sys_unlink(backup.c_str()) != 0) {
            programLog(3, "failed to remove flag analog input file" + backup);
        } else {
            syncFolder(directory);
        }
    }
    const auto text = readWhole(main);
    if (!text) {
        programLog(7, "Failed to open " + main + ". Using factory defaults.");
        return false;
    }
    const Parsed parsed = parseState(*text, memberName, reader);
    if (!parsed.failure.empty()) {
        programLog(1, "Invalid data in " + main + " (" + parsed.failure + "). Using factory defaults.");
        return false;
    }
    parsed.apply();
    ensureFlag(directory, main + "_flag");
    return true;
}

void BACnetObject::writeCommonKeys(JsonItem &member, bool withOutOfService) const {
    member.appendChild(JsonItem("object-name", getObjectName()));
    if (withOutOfService) {
        member.appendChild(JsonItem("out-of-service", isOutOfService()));
    }
}

void BACnetObject::requireKey(const JsonItem &member, const char *key) {
    if (member.findChild(key) == member.end()) {
        throw std::invalid_argument(std::string(key) + " not found");
    }
}

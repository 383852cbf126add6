#pragma once
// The file calls under the per-object state files. The program uses the
// board edge (meter/sysio.h), which roots every board path once; tests may
// put a table of their own in place to watch or fail single steps.

#include <sys/types.h>

#include <cstddef>
#include <string>

struct StateFileOps {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buf, size_t count);   // all of count or the end
    ssize_t (*write)(int fd, const void *buf, size_t count);  // all of count or -1
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    int (*fsyncDir)(const char *path);
};

// The table in force; nullptr puts the board edge's calls back.
const StateFileOps &stateFileOps();
void stateFileSetOps(const StateFileOps *ops);

// A flag of a state file: true only for the text "true".
inline bool stateFileTrue(const std::string &text) { return text == "true"; }

// True when the text is exactly one complete JSON value (white space
// around it allowed): a text cut short anywhere is refused.
bool stateFileTextComplete(const char *text, size_t length);

// The folders of the per-object state files: one per load and one per
// voltage input under Talvik's own folder in /config. Created through the
// board edge (never a shell), each new folder made durable in its parent, so
// that the state files written into it survive a power cut with it.
#pragma once

#include <string>
#include <vector>

extern const std::string configBasePath;  // "/config/talvik/"
extern const std::string loadsStatePath;  // "/config/talvik/loads/"
extern const std::string inputsStatePath; // "/config/talvik/inputs/"

// Creates the folder at a board path and every missing folder above it.
// True when it stands afterwards; otherwise "Cannot create " + the folder
// that failed + ": " + the reason, at level 4.
bool runtimeMakeDirectories(const std::string &boardPath);

// The base folder, the loads' and the inputs' folders, then one per load id
// (loadsStatePath + id) and one per input id, in the order given. Goes on
// after a failure, so that every other folder is still made; false when any
// failed.
bool runtimeCreateStateDirectories(const std::vector<unsigned> &loadIds, const std::vector<unsigned> &inputIds);

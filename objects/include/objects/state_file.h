#pragma once
// What the per-object state files share. Their files go through the board
// edge (meter/sysio.h), which roots every board path once; tests watch and
// fail single steps through the host model's fault injection.

#include <cstddef>
#include <string>

// A flag of a state file: true only for the text "true".
inline bool stateFileTrue(const std::string &text) { return text == "true"; }

// True when the text is exactly one complete JSON value in UTF-8, as the
// writer writes it (white space around it allowed): a text cut short
// anywhere is refused.
bool stateFileTextComplete(const char *text, size_t length);

#pragma once
// File helpers that the trend storage and its migration share (storage_io.cpp),
// so that neither of the two calls into the other.

#include <sys/types.h>

#include <string>

// The folder part of a board path ("/" for a file at the top).
std::string storage_folder_of(const std::string &path);
// Creates an empty companion file (no fsync: the caller syncs its folder).
bool storage_create_flag(const std::string &flag);
// A trend file's name: a time in decimal digits only (no companion).
bool storage_is_trend_name(const std::string &name);
// The size of a board file, or -1 when it cannot be examined.
off_t storage_file_size(const std::string &path);
// Makes `to` a durable copy of the first `limit` bytes of `from` (all of it
// when limit is -1): temporary file, fsync, rename, folder fsync. False (and
// `to` unchanged) when a step fails or `from` is shorter than limit.
bool storage_copy_durably(const std::string &from, const std::string &to, off_t limit);

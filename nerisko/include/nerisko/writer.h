#pragma once
// The file writer: one thread that makes the program's regular file writes
// (energy, demand and trend files), so that the processing thread only hands
// them over and never waits on the flash.
//
// Jobs run one at a time in the order they were first handed over. A job
// handed over with a key writes the latest state of one file: while it has
// not started, a newer job of the same key takes its place (and its turn),
// so the newest state is what reaches the flash and a slow flash never piles
// up saves. A job without a key (a trend record) always runs, in order.
// While the thread is not running (before writer_start, after writer_stop,
// in tests of a single component) a job runs at once on the caller.

#include <cstddef>
#include <functional>
#include <string>

void writer_start();
// Runs every job handed over, then ends the thread.
void writer_stop();
// Returns once every job handed over before the call has run. Never called
// on the processing thread or from a job.
void writer_flush();

void writer_replace(const std::string &key, std::function<void()> job);
void writer_queue(std::function<void()> job);

// Tests: holds the thread before its next job, or lets it go on; the jobs
// waiting.
void writer_hold(bool on);
size_t writer_pending();

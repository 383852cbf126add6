// The file writer's thread and its queue (see nerisko/writer.h).

#include "nerisko/writer.h"

#include "meter/sysio.h"

#include <syslog.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

struct Job {
    std::string key;  // "" for a job that is never replaced
    std::function<void()> run;
    uint64_t seq;
};

struct Writer {
    std::mutex mutex;
    std::condition_variable wake;  // a job, a release or the stop
    std::condition_variable done;  // a job ran
    std::deque<Job> jobs;
    std::thread thread;
    bool running = false;
    bool stopping = false;
    bool held = false;
    uint64_t handed = 0;  // sequence number of the last job handed over
    uint64_t ran = 0;     // every job up to this one has run
};

Writer &writer() {
    static Writer w;
    return w;
}

void serve() {
    Writer &w = writer();
    std::unique_lock lock(w.mutex);
    for (;;) {
        w.wake.wait(lock, [&] { return (!w.jobs.empty() && !w.held) || (w.stopping && w.jobs.empty()); });
        if (w.jobs.empty()) {
            return;
        }
        Job job = std::move(w.jobs.front());
        w.jobs.pop_front();
        lock.unlock();
        job.run();
        lock.lock();
        w.ran = job.seq;
        w.done.notify_all();
    }
}

void hand_over(std::string key, std::function<void()> job) {
    Writer &w = writer();
    {
        std::lock_guard lock(w.mutex);
        if (w.running) {
            if (!key.empty()) {
                for (Job &waiting : w.jobs) {
                    if (waiting.key == key) {
                        waiting.run = std::move(job);
                        return;
                    }
                }
            }
            w.jobs.push_back(Job{std::move(key), std::move(job), ++w.handed});
            w.wake.notify_one();
            return;
        }
    }
    job();
}

}  // namespace

void writer_start() {
    Writer &w = writer();
    std::lock_guard lock(w.mutex);
    if (w.running) {
        return;
    }
    w.stopping = false;
    w.running = true;
    w.thread = std::thread(serve);
    sys_log(LOG_DEBUG, "File writer started");
}

void writer_stop() {
    Writer &w = writer();
    {
        std::lock_guard lock(w.mutex);
        if (!w.running) {
            return;
        }
        w.stopping = true;
        w.held = false;
        w.wake.notify_one();
    }
    w.thread.join();
    std::lock_guard lock(w.mutex);
    w.running = false;
    w.ran = w.handed;
}

void writer_flush() {
    Writer &w = writer();
    std::unique_lock lock(w.mutex);
    const uint64_t target = w.handed;
    w.done.wait(lock, [&] { return !w.running || w.ran >= target; });
}

void writer_replace(const std::string &key, std::function<void()> job) { hand_over(key, std::move(job)); }

void writer_queue(std::function<void()> job) { hand_over({}, std::move(job)); }

void writer_hold(bool on) {
    Writer &w = writer();
    std::lock_guard lock(w.mutex);
    w.held = on;
    w.wake.notify_one();
}

size_t writer_pending() {
    Writer &w = writer();
    std::lock_guard lock(w.mutex);
    return w.jobs.size();
}

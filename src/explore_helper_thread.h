// A second thread of the exploration, kept between its jobs: each job runs beside the calling
// thread, and what it throws is thrown where the caller waits for it.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

// Runs a job beside this thread: blocks of a round of states while this one merges the round
// before and takes blocks too.
class helper_thread {
  public:
    template <typename Work> void start(Work* work) {
        std::lock_guard lock(mutex_);
        run_ = [](void* w) { (*static_cast<Work*>(w))(); };
        work_ = work;
        busy_ = true;
        woken_.notify_all();
    }
    // Waits for the job; what it threw is thrown here.
    void finish() {
        if (const std::exception_ptr failure = wait()) {
            std::rethrow_exception(failure);
        }
    }
    // Runs `theirs` on the helper while `mine` runs here; returns once both are done, having
    // waited for the helper even when `mine` throws.
    template <typename Theirs, typename Mine> void run_beside(Theirs* theirs, Mine mine) {
        start(theirs);
        try {
            mine();
        } catch (...) {
            wait(); // what `mine` threw goes on; the helper's, if any, is dropped
            throw;
        }
        finish();
    }
    bool running() const { return thread_.joinable(); }
    void launch();
    ~helper_thread();

  private:
    void serve();
    // Waits for the job; returns what it threw, if anything.
    std::exception_ptr wait() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
        return std::exchange(failure_, nullptr);
    }
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable woken_;
    std::condition_variable done_;
    void (*run_)(void*) = nullptr;
    void* work_ = nullptr;
    std::exception_ptr failure_;
    bool busy_ = false;
    bool quit_ = false;
};

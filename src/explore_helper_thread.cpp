#include "explore_helper_thread.h"

void helper_thread::launch() {
    thread_ = std::thread([this] { serve(); });
}

void helper_thread::serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        woken_.wait(lock, [this] { return busy_ || quit_; });
        if (quit_) {
            return;
        }
        lock.unlock();
        std::exception_ptr failure;
        try {
            run_(work_);
        } catch (...) {
            failure = std::current_exception(); // handed to the thread that waits for the job
        }
        lock.lock();
        failure_ = failure;
        busy_ = false;
        done_.notify_all();
    }
}

helper_thread::~helper_thread() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
            woken_.notify_all();
        }
        thread_.join();
    }
}

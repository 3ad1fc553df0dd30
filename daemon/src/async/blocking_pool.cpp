#include "async/blocking_pool.h"

namespace kavo {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_limit)
    : max_threads_(max_threads == 0 ? 1 : max_threads), idle_limit_(idle_limit) {}

BlockingPool::~BlockingPool() {
    join();
}

void BlockingPool::submit(TaskPtr task) {
    std::unique_lock lock(mutex_);
    if (stopping_) {
        // Nobody is left to run it, and the pool keeps nothing after it has
        // been joined.
        lock.unlock();
        task->refuse();
        return;
    }
    queue_.push_back(std::move(task));
    if (idle_ >= queue_.size() || threads_ >= max_threads_) {
        work_ready_.notify_one();
        return;
    }
    // A thread that cannot be started leaves the work queued for the threads
    // there are; with none at all it waits for the next successful start.
    try {
        auto self = threads_list_.emplace(threads_list_.end());
        try {
            *self = std::thread([this, self] { worker(self); });
            ++threads_;
        } catch (...) {
            threads_list_.erase(self);
            throw;
        }
    } catch (const std::exception&) {
        work_ready_.notify_one();
    }
}

void BlockingPool::worker(ThreadList::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            TaskPtr task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task->run();
            // What the task still held goes outside the lock.
            task.reset();
            lock.lock();
            continue;
        }
        if (stopping_) {
            // join() joins this thread.
            --threads_;
            return;
        }
        ++idle_;
        const bool woken = work_ready_.wait_for(lock, idle_limit_,
                                                [this] { return !queue_.empty() || stopping_; });
        --idle_;
        if (!woken) {
            // No work for a while: end, and take our entry with us.
            --threads_;
            self->detach();
            threads_list_.erase(self);
            return;
        }
    }
}

void BlockingPool::join() {
    ThreadList threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.splice(threads.end(), threads_list_);
    }
    work_ready_.notify_all();
    for (auto& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    // Work that no thread could be started for: refused rather than kept.
    std::deque<TaskPtr> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(queue_);
    }
    for (auto& task : left) {
        task->refuse();
    }
}

std::size_t BlockingPool::thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

}  // namespace kavo

// Every file must build Asio's internal threads alike: the io_context's timer
// thread is started in one file and joined in another. Checked before any
// include, which could otherwise make the choice in this file alone.
#if defined(_WIN32) && !defined(ASIO_HAS_PTHREADS)
#error "Asio's threads must be pthreads in every file of the Windows build"
#endif

#include "host/service_threads.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>

#include <asio/co_spawn.hpp>

namespace kavo {

std::size_t default_worker_count() {
    const unsigned processors = std::thread::hardware_concurrency();
    return processors == 0 ? 1 : processors;
}

ServiceThreads::ServiceThreads(std::size_t max_blocking_threads)
    : io_(std::make_unique<asio::io_context>()),
      keep_running_(asio::make_work_guard(*io_)),
      pool_(std::make_unique<BlockingPool>(max_blocking_threads)) {}

Result<std::unique_ptr<ServiceThreads>> ServiceThreads::build(std::size_t workers,
                                                              std::size_t max_blocking_threads) {
    std::unique_ptr<ServiceThreads> threads(new ServiceThreads(max_blocking_threads));
    const std::size_t count = workers == 0 ? 1 : workers;
    try {
        threads->workers_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            asio::io_context& io = *threads->io_;
            threads->workers_.emplace_back([&io] { io.run(); });
        }
    } catch (const std::system_error& error) {
        // The threads already started are stopped and joined with the rest.
        return fail(std::string(RUNTIME_BUILD_FAILED) + error.what());
    }
    return threads;
}

ServiceThreads::~ServiceThreads() {
    shutdown();
}

void ServiceThreads::run_to_completion(asio::awaitable<void> task) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::exception_ptr escaped;
    asio::co_spawn(*io_, std::move(task), [&](std::exception_ptr error) {
        std::lock_guard lock(mutex);
        escaped = error;
        done = true;
        finished.notify_one();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
    if (escaped) {
        std::rethrow_exception(escaped);
    }
}

void ServiceThreads::shutdown() {
    if (!io_) {
        return;
    }
    io_->stop();
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    pool_->join();
    keep_running_.reset();
    // Tasks still in the io_context are destroyed with it, unfinished. What
    // they held may still be handed to the pool (a core slot's last
    // reference hands it its core), which by now disposes of it at once.
    io_.reset();
    pool_.reset();
}

}  // namespace kavo

#include "core/core_log_pump.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/core_log_file.h"
#include "core/log_line.h"

namespace kavo {

// Signalled once every pump of one log has ended and let go of its pipe and
// of the writer.
class CoreLogCompletion {
  public:
    explicit CoreLogCompletion(unsigned pumps) : remaining_(pumps) {}

    void pump_ended() {
        std::lock_guard lock(mutex_);
        if (remaining_ > 0 && --remaining_ == 0) {
            ended_.notify_all();
        }
    }

    bool wait_for(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, bound, [&] { return remaining_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    unsigned remaining_;
};

namespace {

// Holds a pump back until every pump of the log has its thread, so that a
// start that fails half-way leaves no thread reading.
class StartGate {
  public:
    void open(bool go) {
        {
            std::lock_guard lock(mutex_);
            state_ = go ? State::go : State::abandoned;
        }
        changed_.notify_all();
    }
    bool wait_for_go() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return state_ != State::waiting; });
        return state_ == State::go;
    }

  private:
    enum class State { waiting, go, abandoned };
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::waiting;
};

// Hands the lines of one read to the writer; nothing of them stays here.
void emit_lines(CoreLogWriter& writer, CoreLogBatch& batch) {
    if (!batch.empty()) {
        // Lines that cannot be written are lost; the pump goes on.
        (void)write_core_log_lines(writer, batch);
        batch.clear();
    }
}

void pump(PipeReader reader, std::shared_ptr<CoreLogWriter> writer) {
    LineAssembler assembler;
    CoreLogBatch batch;
    std::array<char, CORE_LOG_READ_BUFFER_LEN> buffer;
    for (;;) {
        auto got = reader.read(buffer);
        if (!got) {
            if (got.error().kind != OsErrorKind::broken_pipe) {
                return;  // the partial line is discarded
            }
            break;
        }
        if (*got == 0) {
            break;
        }
        // Redacted here, outside the writer's lock, so that the two streams
        // wait on each other only for the write itself.
        assembler.feed(std::string_view(buffer.data(), *got),
                       [&](const RawLine& line) { batch.add_output_line(line); });
        emit_lines(*writer, batch);
    }
    if (const auto last = assembler.finish()) {
        batch.add_output_line(*last);
        emit_lines(*writer, batch);
    }
}

// What one pump thread owns; taken apart when the thread runs so that the
// pipe and the writer are released before the completion is signalled.
struct PumpTask {
    std::optional<PipeReader> reader;
    std::shared_ptr<CoreLogWriter> writer;
    std::shared_ptr<StartGate> gate;
    std::shared_ptr<CoreLogCompletion> completion;

    void run() {
        auto done = std::move(completion);
        {
            PipeReader own_reader = std::move(*reader);
            reader.reset();
            auto own_writer = std::move(writer);
            if (gate->wait_for_go()) {
                pump(std::move(own_reader), std::move(own_writer));
            }
        }
        done->pump_ended();
    }
};

}  // namespace

CoreLogPumps::CoreLogPumps(std::shared_ptr<CoreLogCompletion> completion)
    : completion_(std::move(completion)) {}

bool CoreLogPumps::wait_for(std::chrono::milliseconds bound) const {
    return completion_->wait_for(bound);
}

Result<void> launch_detached_thread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        return fail(std::string(CORE_LOG_THREAD_FAILED));
    }
    return ok();
}

Result<CoreLogPumps> start_core_log(const NativeString& log_dir, ChildProcess& core,
                                    const ThreadLauncher& launch) {
    KAVO_TRY(auto writer, open_core_log_for_start(log_dir));

    std::vector<PipeReader> pipes;
    for (auto* pipe : {&core.standard_output(), &core.standard_error()}) {
        if (pipe->has_value()) {
            pipes.push_back(std::move(**pipe));
            pipe->reset();
        }
    }
    auto gate = std::make_shared<StartGate>();
    auto completion = std::make_shared<CoreLogCompletion>(static_cast<unsigned>(pipes.size()));
    for (auto& pipe : pipes) {
        auto task = std::make_shared<PumpTask>();
        task->reader = std::move(pipe);
        task->writer = writer;
        task->gate = gate;
        task->completion = completion;
        if (auto launched = launch([task] { task->run(); }); !launched) {
            // The pumps already started end without reading; the pipes of
            // the pumps not started close with `pipes` and `task`.
            gate->open(false);
            return fail(std::move(launched).error());
        }
    }
    gate->open(true);
    return CoreLogPumps(std::move(completion));
}

}  // namespace kavo

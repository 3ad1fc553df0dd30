// The installed service's pipe name, asked for as any local user could ask,
// without connecting: from the service's start until its stop the name must
// be there at every probe, when idle and while clients start and stop cores.
// Whoever creates the name in a gap owns it.
//
// Each probe run lasts KAVO_PROBE_SECONDS seconds (default 10).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "platform/pipe_listener.h"
#include "service/installed_service.h"
#include "service/service_pipe.h"
#include "soak/soak_clients.h"
#include "test_support.h"

namespace kavo {
namespace {

using namespace kavo::service_testing;
using testing::eventually;

struct ProbeFigures {
    std::uint64_t probes = 0;
    std::uint64_t absent = 0;
    std::uint64_t errors = 0;
    std::string first_error;
};

// Probes the service's pipe name back to back on a thread of its own until
// finished.
class NameProbe {
  public:
    NameProbe() {
        thread_ = std::thread([this] {
            while (!done_) {
                const auto present = pipe_name_present(PIPE_NAME);
                ++figures_.probes;
                if (!present) {
                    if (figures_.errors++ == 0) {
                        figures_.first_error = present.error().text;
                    }
                } else if (!*present) {
                    ++figures_.absent;
                }
            }
        });
    }
    ~NameProbe() { finish(); }
    NameProbe(const NameProbe&) = delete;
    NameProbe& operator=(const NameProbe&) = delete;

    const ProbeFigures& finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return figures_;
    }

  private:
    std::atomic<bool> done_{false};
    ProbeFigures figures_;
    std::thread thread_;
};

void expect_always_present(const ProbeFigures& figures, const char* what) {
    std::cout << "name probe, " << what << ": " << figures.probes << " probes, " << figures.absent
              << " found no instance, " << figures.errors << " failed\n";
    EXPECT_GT(figures.probes, 0u);
    EXPECT_EQ(figures.absent, 0u) << "the name was free at some probes";
    EXPECT_EQ(figures.errors, 0u) << figures.first_error;
}

class InstalledServicePipeNameTest : public InstalledServiceFixture {
  protected:
    void SetUp() override {
        InstalledServiceFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        const ProgramRun installed = install();
        ASSERT_EQ(installed.exit_status, 0u) << installed.error;
        service_ = running_service();
        ASSERT_TRUE(service_);
        ASSERT_TRUE(eventually([&] { return soak::idle(IDENTITY); }))
            << "the service never answered";
    }

    void TearDown() override {
        service_.reset();
        InstalledServiceFixture::TearDown();
    }

    std::chrono::seconds probe_length() const {
        return std::chrono::seconds(soak::tunable("KAVO_PROBE_SECONDS", 10));
    }

    std::optional<Service> service_;
};

// Nobody talks to the service: its accept cycles go round every 200 ms.
TEST_F(InstalledServicePipeNameTest, TheNameIsPresentAtEveryProbeWhileIdle) {
    NameProbe probe;
    std::this_thread::sleep_for(probe_length());
    expect_always_present(probe.finish(), "idle");
    const auto state = service_->query_state();
    ASSERT_TRUE(state) << state.error().text;
    EXPECT_EQ(*state, SERVICE_STATE_RUNNING);
}

// Clients in random sessions take, renew and give back leases and start and
// stop cores, while others ask for the status. Few of them, with pauses
// between their sessions, so that cycles also end without a client and
// starts happen while no other connection holds the name.
TEST_F(InstalledServicePipeNameTest, TheNameIsPresentAtEveryProbeWhileClientsStartAndStopCores) {
    constexpr std::size_t CLIENTS = 4;
    constexpr std::uint32_t SEED = 20261216;
    NameProbe probe;
    soak::Soak soak{probe_length(), IDENTITY};
    soak::CoreWatch watch(service_runtime_root());
    const double ran = soak::run_until_idle(soak, watch, IDENTITY, CLIENTS, SEED);
    const ProbeFigures& figures = probe.finish();
    const bool did_its_work = soak::report_and_check(
        soak, watch, CLIENTS, static_cast<std::size_t>(probe_length().count()), SEED, ran,
        std::cout);
    expect_always_present(figures, "clients starting and stopping cores");
    EXPECT_TRUE(did_its_work) << "no leases went round, or no cores ran";
}

}  // namespace
}  // namespace kavo

// The service framework against a fake service manager: the status each operation reports,
// its fallbacks when a hook fails, the checkpoints and the event-log entries.

#include "fake_service_host.h"
#include "service/service_base.h"

#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace ss = platform::service_state;
namespace sc = platform::service_control;

namespace {

enum class failure { none, code, other };

// Each hook does nothing, throws the code 5 (as an unsigned long, like a Windows error) or
// throws a runtime error, as the row says.
class scripted_service final : public CServiceBase {
public:
    scripted_service(platform::service_host& host) : CServiceBase("corvane-service", 0x10, 0x5, host) {}
    failure start = failure::none, stop = failure::none, pause = failure::none, resume = failure::none,
            shutdown = failure::none;

    void log_event(const std::string& message) { LogEvent(message, 4, 7, 3); }

protected:
    void StartHook(const std::vector<std::string>&) override { act(start); }
    void StopHook() override { act(stop); }
    void PauseHook() override { act(pause); }
    void ContinueHook() override { act(resume); }
    void ShutdownHook() override { act(shutdown); }

private:
    static void act(failure f)
    {
        if (f == failure::code)
            throw 5ul;
        if (f == failure::other)
            throw std::runtime_error("hook failed");
    }
};

struct report {
    std::uint32_t state;
    std::uint32_t exit_code;
};

}  // namespace

TEST(service_base, status_table_with_fallbacks)
{
    struct row {
        const char* name;
        std::vector<std::uint32_t> controls;
        std::function<void(scripted_service&)> setup;
        std::vector<report> reports;
        std::vector<std::string> events;  // the one insertion string of each event
    };
    const std::string code5 = " failed with error code 0x00000005";
    const row rows[] = {
        {"start", {}, [](auto&) {}, {{ss::start_pending, 0}, {ss::running, 0}}, {}},
        {"start throws a code", {}, [](auto& s) { s.start = failure::code; },
         {{ss::start_pending, 0}, {ss::stopped, 5}}, {"Service Start" + code5}},
        {"start throws", {}, [](auto& s) { s.start = failure::other; },
         {{ss::start_pending, 0}, {ss::stopped, 0}}, {"Service failed to start."}},
        {"stop", {sc::stop}, [](auto&) {},
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::stop_pending, 0}, {ss::stopped, 0}}, {}},
        {"stop throws a code", {sc::stop}, [](auto& s) { s.stop = failure::code; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::stop_pending, 0}, {ss::running, 0}},
         {"Service Stop" + code5}},
        {"stop throws", {sc::stop}, [](auto& s) { s.stop = failure::other; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::stop_pending, 0}, {ss::running, 0}},
         {"Service failed to stop."}},
        {"pause and continue", {sc::pause, sc::resume}, [](auto&) {},
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::pause_pending, 0}, {ss::paused, 0},
          {ss::continue_pending, 0}, {ss::running, 0}}, {}},
        {"pause throws a code", {sc::pause}, [](auto& s) { s.pause = failure::code; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::pause_pending, 0}, {ss::running, 0}},
         {"Service Pause" + code5}},
        {"pause throws", {sc::pause}, [](auto& s) { s.pause = failure::other; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::pause_pending, 0}, {ss::running, 0}},
         {"Service failed to pause."}},
        {"continue throws a code", {sc::resume}, [](auto& s) { s.resume = failure::code; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::continue_pending, 0}, {ss::paused, 0}},
         {"Service Continue" + code5}},
        {"continue throws", {sc::resume}, [](auto& s) { s.resume = failure::other; },
         {{ss::start_pending, 0}, {ss::running, 0}, {ss::continue_pending, 0}, {ss::paused, 0}},
         {"Service failed to resume."}},
        {"shutdown", {sc::shutdown}, [](auto&) {}, {{ss::start_pending, 0}, {ss::running, 0}, {ss::stopped, 0}}, {}},
        {"shutdown throws a code", {sc::shutdown}, [](auto& s) { s.shutdown = failure::code; },
         {{ss::start_pending, 0}, {ss::running, 0}}, {"Service Shutdown" + code5}},
        {"shutdown throws", {sc::shutdown}, [](auto& s) { s.shutdown = failure::other; },
         {{ss::start_pending, 0}, {ss::running, 0}}, {"Service failed to shut down."}},
        {"other controls are ignored", {4, 6, 0x80}, [](auto&) {}, {{ss::start_pending, 0}, {ss::running, 0}}, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fake_service_host host;
        host.controls = r.controls;
        scripted_service service(host);
        r.setup(service);
        std::uint32_t error = 0;
        ASSERT_TRUE(CServiceBase::RunDispatcher(service, error));
        EXPECT_EQ(host.dispatched_name, "corvane-service");
        ASSERT_EQ(host.statuses.size(), r.reports.size());
        for (std::size_t i = 0; i < r.reports.size(); ++i) {
            const auto& s = host.statuses[i];
            EXPECT_EQ(s.current_state, r.reports[i].state) << i;
            EXPECT_EQ(s.win32_exit_code, r.reports[i].exit_code) << i;
            EXPECT_EQ(s.service_type, 0x10u);
            EXPECT_EQ(s.controls_accepted, 0x5u);
            EXPECT_EQ(s.wait_hint, 0u);
            EXPECT_EQ(s.service_specific_exit_code, 0u);
        }
        ASSERT_EQ(host.events.size(), r.events.size());
        for (std::size_t i = 0; i < r.events.size(); ++i) {
            EXPECT_EQ(host.events[i].source, "corvane-service");
            EXPECT_EQ(host.events[i].type, 1);
            EXPECT_EQ(host.events[i].event_id, 0u);
            EXPECT_EQ(host.events[i].category, 0);
            EXPECT_EQ(host.events[i].strings, std::vector<std::string>{r.events[i]});
        }
    }
}

TEST(service_base, checkpoints_count_up_across_pending_reports)
{
    fake_service_host host;
    host.controls = {sc::pause, sc::resume, sc::stop};
    scripted_service service(host);
    std::uint32_t error = 0;
    ASSERT_TRUE(CServiceBase::RunDispatcher(service, error));
    std::uint32_t previous = 0;
    for (const auto& s : host.statuses) {
        if (s.current_state == ss::running || s.current_state == ss::stopped) {
            EXPECT_EQ(s.check_point, 0u);
            continue;
        }
        // Pending and paused reports take the next counter value, one after another.
        if (previous != 0) {
            EXPECT_EQ(s.check_point, previous + 1);
        }
        EXPECT_NE(s.check_point, 0u);
        previous = s.check_point;
    }
    EXPECT_EQ(CServiceBase::checkpoint_counter, previous + 1);
}

TEST(service_base, event_texts_split_into_insertion_strings)
{
    fake_service_host host;
    scripted_service service(host);
    struct row {
        std::string message;
        std::vector<std::string> strings;
    };
    const row rows[] = {
        {"one line", {"one line"}},
        {"first\nsecond", {"first", "second"}},
        {"first\n\nsecond\n", {"first", "second"}},
        {"\n", {}},
        {"", {}},
    };
    for (const auto& r : rows) {
        host.events.clear();
        service.log_event(r.message);
        ASSERT_EQ(host.events.size(), 1u) << r.message;
        EXPECT_EQ(host.events[0].strings, r.strings) << r.message;
        EXPECT_EQ(host.events[0].type, 4);
        EXPECT_EQ(host.events[0].event_id, 7u);
        EXPECT_EQ(host.events[0].category, 3);
    }
}

TEST(service_base, failed_registration_or_dispatcher_runs_no_hook)
{
    fake_service_host host;
    host.register_fails = true;
    host.register_error = 1063;
    scripted_service service(host);
    std::uint32_t error = 0;
    ASSERT_TRUE(CServiceBase::RunDispatcher(service, error));
    // The start ends with the code instead of the process: an error event, stopped with it.
    ASSERT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events[0].strings,
              std::vector<std::string>{"RegisterServiceCtrlHandler failed with error code 0x00000427"});
    ASSERT_EQ(host.statuses.size(), 1u);
    EXPECT_EQ(host.statuses[0].current_state, ss::stopped);
    EXPECT_EQ(host.statuses[0].win32_exit_code, 1063u);

    fake_service_host refusing;
    refusing.dispatcher_fails = true;
    scripted_service other(refusing);
    EXPECT_FALSE(CServiceBase::RunDispatcher(other, error));
    EXPECT_EQ(error, 1063u);
    EXPECT_TRUE(refusing.statuses.empty());
}

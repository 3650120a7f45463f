// "install" and "uninstall" against a scripted service manager: the messages of each
// failing step, the stop loop, and what reaches the manager.

#include "service/installer.h"

#include <deque>
#include <map>

#include <gtest/gtest.h>

namespace {

class fake_installer final : public platform::service_installer {
public:
    std::map<std::string, std::uint32_t> failures;  // step name -> error code
    std::string module = "/opt/corvane/corvane-service";
    std::deque<std::uint32_t> states;  // answers of query_state, in order
    std::uint32_t stop_state = 3;
    std::vector<std::string> calls;
    platform::service_definition created;
    std::string description;
    std::string deleted_key;
    std::string log_folder;

    std::uint32_t module_path(std::size_t max_length, std::string& path) override
    {
        calls.push_back("module_path");
        if (module.size() > max_length)
            return 122;
        path = module;
        return fail("module_path");
    }
    std::uint32_t open_manager(bool create) override
    {
        calls.push_back(create ? "open_manager create" : "open_manager");
        return fail("open_manager");
    }
    std::uint32_t create_service(const platform::service_definition& d) override
    {
        calls.push_back("create_service");
        created = d;
        return fail("create_service");
    }
    std::uint32_t set_description(const std::string& text) override
    {
        calls.push_back("set_description");
        description = text;
        return fail("set_description");
    }
    std::uint32_t open_service(const std::string& name) override
    {
        calls.push_back("open_service " + name);
        return fail("open_service");
    }
    std::uint32_t control_stop(std::uint32_t& state) override
    {
        calls.push_back("control_stop");
        state = stop_state;
        return fail("control_stop");
    }
    std::uint32_t query_state(std::uint32_t& state) override
    {
        calls.push_back("query_state");
        if (states.empty())
            return 6;
        state = states.front();
        states.pop_front();
        return 0;
    }
    std::uint32_t delete_service() override
    {
        calls.push_back("delete_service");
        return fail("delete_service");
    }
    std::uint32_t delete_event_log_key(const std::string& key) override
    {
        calls.push_back("delete_event_log_key");
        deleted_key = key;
        auto it = failures.find("delete_event_log_key");
        return it == failures.end() ? 0 : it->second;
    }

    std::uint32_t create_log_folder(const std::string& path) override
    {
        calls.push_back("create_log_folder");
        log_folder = path;
        return fail("create_log_folder");
    }

private:
    std::uint32_t fail(const char* step)
    {
        auto it = failures.find(step);
        return it == failures.end() ? 0 : it->second;
    }
};

struct captured {
    std::string text;
    service::console_writer writer()
    {
        return [this](std::string_view s) { text.append(s); };
    }
};

const std::string log_folder = "/var/lib/Quenmark/Corvane VPN Gateway";

void install(fake_installer& installer, captured& out)
{
    service::install_service(installer, out.writer(), 3, "svc-user", std::string("pw"),
                             "service -mode \"nat\" -interface \"wg0\"", log_folder);
}

}  // namespace

TEST(service_installer, install_registers_the_service)
{
    fake_installer installer;
    captured out;
    install(installer, out);
    EXPECT_EQ(out.text, "corvane-service is installed.\n");
    EXPECT_EQ(installer.created.name, "corvane-service");
    EXPECT_EQ(installer.created.display_name, "Corvane Service");
    EXPECT_EQ(installer.created.start_type, 3u);
    EXPECT_EQ(installer.created.image_path,
              "\"/opt/corvane/corvane-service\" service -mode \"nat\" -interface \"wg0\"");
    EXPECT_EQ(installer.created.account, "svc-user");
    EXPECT_EQ(installer.created.password, std::optional<std::string>("pw"));
    EXPECT_EQ(installer.description,
              "Corvane Service implements NAT/PROXY service for Wireguard Server on Windows.");
    // The service logs into this folder; nothing else would create it.
    EXPECT_EQ(installer.log_folder, log_folder);
    EXPECT_EQ(installer.calls.back(), "create_log_folder");
}

TEST(service_installer, install_reports_the_failing_step)
{
    struct row {
        const char* step;
        std::uint32_t code;
        std::string output;
        std::size_t calls;  // steps attempted
    };
    const row rows[] = {
        {"module_path", 5, "GetModuleFileName failed w/err 0x00000005\n", 1},
        {"open_manager", 5, "OpenSCManager failed w/err 0x00000005\n", 2},
        {"create_service", 1073, "CreateService failed with error code: 0x00000431\n", 3},
        // The service exists from here on: its log folder is still made.
        {"set_description", 0x57, "Couldn't set service description with error code: 0x00000057\n", 5},
        {"create_log_folder", 5,
         "corvane-service is installed.\n"
         "Couldn't create the log folder /var/lib/Quenmark/Corvane VPN Gateway with error code: 0x00000005\n",
         5},
    };
    for (const auto& r : rows) {
        fake_installer installer;
        installer.failures[r.step] = r.code;
        captured out;
        install(installer, out);
        EXPECT_EQ(out.text, r.output) << r.step;
        EXPECT_EQ(installer.calls.size(), r.calls) << r.step;
    }
}

TEST(service_installer, install_refuses_a_cut_module_path_and_cuts_the_image_path)
{
    fake_installer long_module;
    long_module.module = "/" + std::string(259, 'm');  // 260 characters do not fit 259
    captured out;
    install(long_module, out);
    EXPECT_EQ(out.text, "GetModuleFileName failed w/err 0x0000007a\n");

    fake_installer installer;
    installer.module = "/" + std::string(250, 'm');
    captured out2;
    service::install_service(installer, out2.writer(), 2, "a", std::nullopt, "service " + std::string(300, 'x'),
                             std::nullopt);
    EXPECT_EQ(installer.created.image_path.size(), 519u);
    EXPECT_FALSE(installer.created.password.has_value());
    // No application data folder: the log goes to the current directory, no folder to make.
    EXPECT_EQ(installer.calls.back(), "set_description");
}

TEST(service_installer, uninstall_flows)
{
    struct row {
        const char* name;
        std::map<std::string, std::uint32_t> failures;
        std::deque<std::uint32_t> states;
        std::string output;
        int sleeps;
    };
    const row rows[] = {
        {"not running: no stop messages", {{"control_stop", 1062}}, {}, "corvane-service is removed.\n", 0},
        {"stopped after two polls", {}, {3, 3, 1},
         "Stopping corvane-service...\ncorvane-service is stopped.\ncorvane-service is removed.\n", 3},
        {"left running", {}, {4}, "Stopping corvane-service.\ncorvane-service failed to stop.\ncorvane-service is removed.\n",
         1},
        {"query fails while pending", {}, {}, "Stopping corvane-service.\ncorvane-service failed to stop.\n"
                                              "corvane-service is removed.\n", 1},
        {"no manager", {{"open_manager", 5}}, {}, "OpenSCManager failed w/err 0x00000005\n", 0},
        {"no such service", {{"open_service", 1060}, {"control_stop", 1062}}, {}, "OpenService failed w/err 0x00000424\n",
         0},
        {"delete fails", {{"control_stop", 1062}, {"delete_service", 1072}}, {}, "DeleteService failed w/err 0x00000430\n",
         0},
        {"event-log key missing", {{"control_stop", 1062}, {"delete_event_log_key", 2}}, {},
         "corvane-service is removed.\n", 0},
        {"event-log key refused", {{"control_stop", 1062}, {"delete_event_log_key", 5}}, {},
         "Service cannot be unregistered with Windows Event Log. Error deleting key: 5\ncorvane-service is removed.\n", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        fake_installer installer;
        installer.failures = r.failures;
        installer.states = r.states;
        captured out;
        int sleeps = 0;
        service::uninstall_service(installer, out.writer(), [&](std::chrono::milliseconds period) {
            EXPECT_EQ(period, std::chrono::seconds(1));
            ++sleeps;
        });
        EXPECT_EQ(out.text, r.output);
        EXPECT_EQ(sleeps, r.sleeps);
        if (r.output.find("is removed") != std::string::npos) {
            EXPECT_EQ(installer.deleted_key, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\corvane-service");
        }
    }
}

#include "service/installer.h"

#include "platform/service_control.h"
#include "service/service_names.h"
#include "service/service_text.h"

namespace service {

namespace {

std::string code_text(const char* format, std::uint32_t code)
{
    return format_text(format, static_cast<unsigned long>(code));
}

}  // namespace

void install_service(platform::service_installer& installer, const console_writer& out, std::uint32_t start_type,
                     const std::string& account, const std::optional<std::string>& password,
                     const std::string& argument_text, const std::optional<std::string>& log_folder)
{
    std::string module;
    if (const auto error = installer.module_path(module_path_buffer - 1, module); error != 0) {
        out(code_text("GetModuleFileName failed w/err 0x%08lx\n", error));
        return;
    }
    std::string image_path = "\"" + module + "\" " + argument_text;
    truncate_to_utf16_units(image_path, image_path_buffer - 1);

    if (const auto error = installer.open_manager(true); error != 0) {
        out(code_text("OpenSCManager failed w/err 0x%08lx\n", error));
        return;
    }
    platform::service_definition definition;
    definition.name = service_name;
    definition.display_name = service_display_name;
    definition.start_type = start_type;
    definition.image_path = image_path;
    definition.account = account;
    definition.password = password;
    if (const auto error = installer.create_service(definition); error != 0) {
        out(code_text("CreateService failed with error code: 0x%08lx\n", error));
        return;
    }
    if (const auto error = installer.set_description(service_description); error != 0)
        out(code_text("Couldn't set service description with error code: 0x%08lx\n", error));
    else
        out(format_text("%s is installed.\n", service_name));
    if (!log_folder)
        return;
    if (const auto error = installer.create_log_folder(*log_folder); error != 0)
        out(format_text("Couldn't create the log folder %s with error code: 0x%08lx\n", log_folder->c_str(),
                        static_cast<unsigned long>(error)));
}

void uninstall_service(platform::service_installer& installer, const console_writer& out, const sleeper& sleep)
{
    namespace ss = platform::service_state;
    if (const auto error = installer.open_manager(false); error != 0) {
        out(code_text("OpenSCManager failed w/err 0x%08lx\n", error));
        return;
    }
    if (const auto error = installer.open_service(service_name); error != 0) {
        out(code_text("OpenService failed w/err 0x%08lx\n", error));
        return;
    }
    std::uint32_t state = 0;
    if (installer.control_stop(state) == 0) {
        out(format_text("Stopping %s.", service_name));
        sleep(std::chrono::seconds(1));
        while (installer.query_state(state) == 0) {
            if (state != ss::stop_pending)
                break;
            out(".");
            sleep(std::chrono::seconds(1));
        }
        out(format_text(state == ss::stopped ? "\n%s is stopped.\n" : "\n%s failed to stop.\n", service_name));
    }
    if (const auto error = installer.delete_service(); error != 0) {
        out(code_text("DeleteService failed w/err 0x%08lx\n", error));
        return;
    }
    const std::string key = format_text("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", service_name);
    std::string fitted = key;
    truncate_to_utf16_units(fitted, registry_path_buffer - 1);
    if (fitted.size() != key.size()) {
        out("Service name is too long. Cannot register service with Windows Event Log.\n");
        return;
    }
    const auto result = installer.delete_event_log_key(key);
    if (result != 0 && result != 2)
        out(format_text("Service cannot be unregistered with Windows Event Log. Error deleting key: %d\n",
                        static_cast<int>(result)));
    out(format_text("%s is removed.\n", service_name));
}

}  // namespace service

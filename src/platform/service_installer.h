#pragma once
// Registering and removing the service in the system's service manager, one step at a
// time so that the portable installer can print which step failed with which code. One
// header, one backend per OS; tests substitute their own installer.
//
// Every step returns 0 on success or an error code. Codes that the service manager itself
// defines are Windows codes on every platform: 1060 the service does not exist, 1062 the
// service is not running, 1073 the service exists already. Other failures carry the OS
// error (GetLastError on Windows, errno on Linux) or, on Linux, the exit status of a
// systemctl call that failed.
//
// Linux (systemd): the unit "<name>.service" lives in $CORVANE_SYSTEMD_UNIT_DIR, else
// "/usr/local/lib/systemd/system" (the administrator's unit folder, so that `systemctl
// mask` can still link over it from /etc); systemctl is $CORVANE_SYSTEMCTL, else
// "systemctl" from PATH.
// - open_manager: the unit folder must be a writable directory.
// - create_service writes the unit (Type=notify; ExecStart is the image path with '%' and
//   '$' escaped for systemd; User= the account, left out for the Windows built-in service
//   accounts, which have no Linux counterpart, so the unit runs as root; a password is
//   never written), runs `systemctl daemon-reload`, then `enable` for start type 2 or
//   `mask` for start type 4 (3: installed, started only on request). A failing step
//   removes the unit again. Control characters in the image path or account are refused
//   with 87 (invalid parameter): they would end the unit's line.
// - set_description adds the description to the unit (X-Description= in [Unit]).
// - control_stop: `systemctl is-active` must say active (else 1062), then
//   `systemctl stop --no-block`; query_state maps is-active's answer: "deactivating" stop
//   pending, "active"/"reloading" running, "activating" start pending, anything else stopped.
// - delete_service: `systemctl disable` and `unmask` (their failures are ignored: the unit
//   may be neither), removes the unit, `systemctl daemon-reload`.
// - delete_event_log_key: there is no event-log registration on Linux; answers 2 (not found).
// - create_log_folder: mode 0755; when the unit names a User= account, the last folder is
//   handed to that user (the service runs as it and must create its log there).
//
// Windows: create_log_folder creates the missing folders with the ACL they inherit from the
// common application data folder, which lets the service accounts create files in them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct service_definition {
    std::string name;
    std::string display_name;
    std::uint32_t start_type = 2;  // 2 automatic, 3 on demand, 4 disabled
    std::string image_path;        // the program in double quotes, a space, its arguments
    std::string account;
    std::optional<std::string> password;
};

// One installer operation: open the manager, then create or open the service. Owns the
// manager and service handles and closes them on destruction. Called by the installer
// commands on the main thread only.
class service_installer {
public:
    virtual ~service_installer() = default;

    // The program's own path; 122 (insufficient buffer) when it is longer than
    // `max_length` characters, since a cut path would register a program that is not there.
    virtual std::uint32_t module_path(std::size_t max_length, std::string& path) = 0;
    // `create`: the rights to create services; otherwise only to connect.
    virtual std::uint32_t open_manager(bool create) = 0;
    virtual std::uint32_t create_service(const service_definition& definition) = 0;
    virtual std::uint32_t set_description(const std::string& description) = 0;
    virtual std::uint32_t open_service(const std::string& name) = 0;
    // 0 when the stop control was accepted; `state` is the state reported with it.
    virtual std::uint32_t control_stop(std::uint32_t& state) = 0;
    virtual std::uint32_t query_state(std::uint32_t& state) = 0;
    virtual std::uint32_t delete_service() = 0;
    // Deletes the registry key `key_path` under HKEY_LOCAL_MACHINE; 2 when it does not exist.
    virtual std::uint32_t delete_event_log_key(const std::string& key_path) = 0;
    // Creates the folder the service writes its log into, with its missing parents, after
    // create_service. 0 also when it exists already.
    virtual std::uint32_t create_log_folder(const std::string& path) = 0;
};

std::unique_ptr<service_installer> make_system_service_installer();

}  // namespace platform

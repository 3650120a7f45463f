// The systemd side of "install" and "uninstall": a unit file in the administrator's unit
// folder and systemctl for everything systemd itself keeps (enablement, masks, state).

#include "platform/service_installer.h"
#include "platform/win32_errors.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

std::string env_or(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

std::string unit_folder()
{
    return env_or("CORVANE_SYSTEMD_UNIT_DIR", "/usr/local/lib/systemd/system");
}

bool has_control_character(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

// systemd expands %-specifiers and $-variables in ExecStart; the stored command line means
// its characters literally.
std::string escape_for_exec_start(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '%' || c == '$')
            out += c;
        out += c;
    }
    return out;
}

bool is_windows_builtin_account(const std::string& account)
{
    auto lower = [](std::string s) {
        for (char& c : s) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return s;
    };
    const std::string a = lower(account);
    return a == "nt authority\\localservice" || a == "nt authority\\networkservice" || a == "localsystem" ||
           a == ".\\localsystem" || a == "nt authority\\system";
}

// Runs systemctl with `arguments`; returns its exit status (0 success), or the spawn error.
// With `output`, its standard output is collected.
std::uint32_t run_systemctl(const std::vector<std::string>& arguments, std::string* output = nullptr)
{
    const std::string program = env_or("CORVANE_SYSTEMCTL", "systemctl");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int pipe_fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return static_cast<std::uint32_t>(errno);
        }
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    }
    pid_t pid = 0;
    const int spawn_error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr) {
        ::close(pipe_fds[1]);
        if (spawn_error == 0) {
            std::array<char, 256> buffer;
            for (;;) {
                const ssize_t n = ::read(pipe_fds[0], buffer.data(), buffer.size());
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                output->append(buffer.data(), static_cast<std::size_t>(n));
            }
        }
        ::close(pipe_fds[0]);
    }
    if (spawn_error != 0)
        return static_cast<std::uint32_t>(spawn_error);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return static_cast<std::uint32_t>(errno);
    }
    if (WIFEXITED(status))
        return static_cast<std::uint32_t>(WEXITSTATUS(status));
    return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
}

std::uint32_t write_whole_file(const std::string& path, const std::string& content, bool exclusive)
{
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0)
        return static_cast<std::uint32_t>(errno);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const auto error = static_cast<std::uint32_t>(errno);
            ::close(fd);
            return error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0)
        return static_cast<std::uint32_t>(errno);
    return 0;
}

std::string trimmed_first_line(const std::string& text)
{
    const auto end = text.find_first_of("\r\n");
    return text.substr(0, end);
}

class systemd_installer final : public service_installer {
public:
    std::uint32_t module_path(std::size_t max_length, std::string& path) override
    {
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
        if (n < 0)
            return static_cast<std::uint32_t>(errno);
        if (static_cast<std::size_t>(n) > max_length)
            return error_insufficient_buffer;
        path.assign(buffer.data(), static_cast<std::size_t>(n));
        return 0;
    }

    std::uint32_t open_manager(bool /*create*/) override
    {
        folder_ = unit_folder();
        struct stat info {};
        if (::stat(folder_.c_str(), &info) != 0)
            return static_cast<std::uint32_t>(errno);
        if (!S_ISDIR(info.st_mode))
            return static_cast<std::uint32_t>(ENOTDIR);
        if (::access(folder_.c_str(), W_OK) != 0)
            return static_cast<std::uint32_t>(errno);
        manager_open_ = true;
        return 0;
    }

    std::uint32_t create_service(const service_definition& definition) override
    {
        if (!manager_open_)
            return error_invalid_handle;  // a step called out of order
        if (has_control_character(definition.image_path) || has_control_character(definition.account) ||
            has_control_character(definition.display_name) || definition.name.empty() ||
            definition.name.find('/') != std::string::npos)
            return error_invalid_parameter;
        definition_ = definition;
        unit_name_ = definition.name + ".service";
        if (const auto error = write_whole_file(unit_path(), unit_text(), true); error != 0)
            return error == EEXIST ? error_service_exists : error;
        std::uint32_t error = run_systemctl({"daemon-reload"});
        if (error == 0 && definition.start_type == 2)
            error = run_systemctl({"enable", unit_name_});
        else if (error == 0 && definition.start_type == 4)
            error = run_systemctl({"mask", unit_name_});
        if (error != 0) {
            // Half an installation would block the next "install" with "exists".
            ::unlink(unit_path().c_str());
            run_systemctl({"daemon-reload"});
            return error;
        }
        service_open_ = true;
        return 0;
    }

    std::uint32_t set_description(const std::string& description) override
    {
        if (!service_open_ || definition_.name.empty())
            return error_invalid_handle;  // a step called out of order
        if (has_control_character(description))
            return error_invalid_parameter;
        description_ = description;
        // Replaced as a whole through a new file so that systemd never reads half a unit.
        const std::string temporary = unit_path() + ".tmp";
        if (const auto error = write_whole_file(temporary, unit_text(), false); error != 0) {
            ::unlink(temporary.c_str());
            return error;
        }
        if (::rename(temporary.c_str(), unit_path().c_str()) != 0) {
            const auto error = static_cast<std::uint32_t>(errno);
            ::unlink(temporary.c_str());
            return error;
        }
        return 0;
    }

    std::uint32_t open_service(const std::string& name) override
    {
        if (!manager_open_)
            return error_invalid_handle;  // a step called out of order
        if (name.empty() || name.find('/') != std::string::npos)
            return error_invalid_parameter;
        unit_name_ = name + ".service";
        struct stat info {};
        if (::lstat(unit_path().c_str(), &info) != 0)
            return errno == ENOENT ? error_service_does_not_exist : static_cast<std::uint32_t>(errno);
        service_open_ = true;
        return 0;
    }

    std::uint32_t control_stop(std::uint32_t& state) override
    {
        if (!service_open_)
            return error_invalid_handle;  // a step called out of order
        if (query_state(state) != 0 || state != 4)
            return error_service_not_active;
        if (const auto error = run_systemctl({"stop", "--no-block", unit_name_}); error != 0)
            return error;
        state = 3;
        return 0;
    }

    std::uint32_t query_state(std::uint32_t& state) override
    {
        if (!service_open_)
            return error_invalid_handle;  // a step called out of order
        std::string answer;
        // is-active exits non-zero for every state but active; the answer is on stdout.
        run_systemctl({"is-active", unit_name_}, &answer);
        const std::string word = trimmed_first_line(answer);
        if (word == "deactivating")
            state = 3;
        else if (word == "active" || word == "reloading")
            state = 4;
        else if (word == "activating")
            state = 2;
        else
            state = 1;
        return 0;
    }

    std::uint32_t delete_service() override
    {
        if (!service_open_)
            return error_invalid_handle;  // a step called out of order
        run_systemctl({"disable", unit_name_});
        run_systemctl({"unmask", unit_name_});
        if (::unlink(unit_path().c_str()) != 0 && errno != ENOENT)
            return static_cast<std::uint32_t>(errno);
        run_systemctl({"daemon-reload"});
        return 0;
    }

    std::uint32_t delete_event_log_key(const std::string&) override
    {
        return error_file_not_found;
    }

    std::uint32_t create_log_folder(const std::string& path) override
    {
        if (!service_open_)
            return error_invalid_handle;  // a step called out of order
        if (path.empty() || has_control_character(path))
            return error_invalid_parameter;
        for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
            const std::string folder = path.substr(0, end);
            if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
                return static_cast<std::uint32_t>(errno);
            if (end == std::string::npos)
                break;
        }
        // Not through a link: the folder may be handed to the service's user below.
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            return static_cast<std::uint32_t>(errno);
        if (!S_ISDIR(info.st_mode))
            return static_cast<std::uint32_t>(ENOTDIR);
        const std::string& account = definition_.account;
        if (account.empty() || is_windows_builtin_account(account))
            return 0;
        std::vector<char> buffer(16384);
        passwd entry {};
        passwd* found = nullptr;
        const int error = ::getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error != 0)
            return static_cast<std::uint32_t>(error);
        if (found == nullptr)
            return error_none_mapped;
        if (::lchown(path.c_str(), found->pw_uid, found->pw_gid) != 0)
            return static_cast<std::uint32_t>(errno);
        return 0;
    }

private:
    std::string unit_path() const { return folder_ + "/" + unit_name_; }

    std::string unit_text() const
    {
        std::string text = "[Unit]\nDescription=" + definition_.display_name + "\n";
        if (!description_.empty())
            text += "X-Description=" + description_ + "\n";
        text += "After=network-online.target\nWants=network-online.target\n\n[Service]\nType=notify\n"
                "NotifyAccess=main\nExecStart=" +
                escape_for_exec_start(definition_.image_path) + "\n";
        if (!definition_.account.empty() && !is_windows_builtin_account(definition_.account))
            text += "User=" + definition_.account + "\n";
        // Each relayed connection holds two sockets: the default soft limit of 1024 would end
        // the proxy near 500 connections, far below what a VPN server's clients open.
        text += "LimitNOFILE=65536\n";
        text += "KillSignal=SIGTERM\nTimeoutStopSec=30\n\n[Install]\nWantedBy=multi-user.target\n";
        return text;
    }

    std::string folder_;
    std::string unit_name_;
    service_definition definition_;
    std::string description_;
    bool manager_open_ = false;
    bool service_open_ = false;
};

}  // namespace

std::unique_ptr<service_installer> make_system_service_installer()
{
    return std::make_unique<systemd_installer>();
}

}  // namespace platform

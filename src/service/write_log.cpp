// The process-wide log sink. One mutex serialises whole lines from every thread; callers
// build their text before calling, so the lock covers only the timestamp and one write.

#include "platform/host_facts.h"
#include "service/log_sink_testing.h"
#include "service/logging.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr char log_file_name[] = "corvane-gateway.log";

struct log_sink {
    std::mutex mutex;
    // Everything below is guarded by `mutex`.
    bool file_opened_once = false;  // the open is attempted once per process, never retried
    std::ofstream file;
    bool journal = false;  // standard error is the system journal; settled with the open
    bool folder_overridden = false;  // set by the test hooks only
    std::optional<std::string> folder_override;
};

std::atomic<bool> run_mode_service{false};

// Never destroyed: threads that are still running while static objects are torn down at exit
// may log, and every line is flushed as it is written, so nothing is lost by not closing.
log_sink& sink()
{
    static log_sink* instance = new log_sink;
    return *instance;
}

std::optional<std::string> build_log_folder_path(const std::optional<std::string>& app_data)
{
    if (!app_data || app_data->empty())
        return std::nullopt;
    const char sep = platform::path_separator();
    std::string path = *app_data;
    path += sep;
    path += "Quenmark";
    path += sep;
    path += "Corvane VPN Gateway";
    return path;
}

std::string build_log_file_path(const std::optional<std::string>& app_data)
{
    const auto folder = build_log_folder_path(app_data);
    if (!folder)
        return log_file_name;  // relative: the current directory
    return *folder + platform::path_separator() + log_file_name;
}

// Local wall-clock time to the second; empty when the conversion fails, in which case the
// line still goes out and starts with the separating space.
std::string log_timestamp()
{
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    std::tm local{};
    if (!platform::to_local_time(static_cast<std::time_t>(seconds), local))
        return {};
    std::ostringstream text;
    text << std::put_time(&local, "%Y-%m-%d %X");
    return text.str();
}

void write_line(std::ostream& stream, const char* message)
{
    std::string line = log_timestamp();
    line += ' ';
    line += message != nullptr ? message : "";
    line += '\n';
    // A failed write (full disk, closed pipe) sets the stream's error state; clearing it
    // first lets the next line go out once the condition has passed instead of dropping
    // every line for the rest of the process.
    stream.clear();
    stream.write(line.data(), static_cast<std::streamsize>(line.size()));
    stream.flush();
}

// The journal takes each line of its stream as one entry and a leading "<N>" as that
// entry's priority; every line of the message therefore starts with the info level, so
// that text of the message never reads as a level of its own.
void write_journal_line(const char* message)
{
    std::string line = "<6>";
    for (const char* c = message != nullptr ? message : ""; *c != '\0'; ++c) {
        line += *c;
        if (*c == '\n')
            line += "<6>";
    }
    line += '\n';
    std::cerr.clear();
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
}

void open_log_file_once(log_sink& s)
{
    if (s.file_opened_once)
        return;
    s.file_opened_once = true;
    s.journal = platform::standard_error_is_system_journal();
    const auto folder = s.folder_overridden ? s.folder_override : platform::common_app_data_folder();
    // Truncation: each service start begins a new log. The folder is not created: without
    // it the open fails and file logging stays off.
    s.file.open(build_log_file_path(folder), std::ios::out | std::ios::trunc);
}

void restart(bool overridden, std::optional<std::string> folder)
{
    log_sink& s = sink();
    std::lock_guard lock(s.mutex);
    if (s.file.is_open())
        s.file.close();
    s.file.clear();
    s.file_opened_once = false;
    s.journal = false;
    s.folder_overridden = overridden;
    s.folder_override = std::move(folder);
}

}  // namespace

void set_log_run_mode_service(bool service)
{
    run_mode_service.store(service);
}

void write_log(const char* message)
{
    log_sink& s = sink();
    std::lock_guard lock(s.mutex);
    if (!run_mode_service.load()) {
        write_line(std::cout, message);
        return;
    }
    open_log_file_once(s);
    if (s.journal)
        write_journal_line(message);
    if (!s.file.is_open())
        return;
    write_line(s.file, message);
}

std::optional<std::string> log_folder_path()
{
    return build_log_folder_path(platform::common_app_data_folder());
}

namespace log_sink_testing {

void restart_with_folder(std::optional<std::string> folder)
{
    restart(true, std::move(folder));
}

void restart_with_platform_folder()
{
    restart(false, std::nullopt);
}

std::string log_file_path(const std::optional<std::string>& folder)
{
    return build_log_file_path(folder);
}

}  // namespace log_sink_testing

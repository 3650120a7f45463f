#pragma once
// The process-wide diagnostic log's sink (`write_log`), which the service worker hands to
// every component as its log_printer. The vocabulary itself lives in log/log.h.

#include "log/log.h"

#include <optional>
#include <string>

// Writes "<local time> <message>" as one whole line, flushed. Console processes write to
// standard output; the service writes to "corvane-gateway.log" under
// <common app data>/Quenmark/Corvane VPN Gateway/, emptied on the first line of the run.
// A log file that cannot be opened (folder missing, no rights) silently disables file
// logging for the rest of the process. The sink does not create the folder: "install"
// does (log_folder_path).
// A service whose standard error is the system journal (systemd) also writes every line
// there, each line of the message after "<6>" (info); the journal keeps its own time. That
// copy does not depend on the file. Thread-safe; never fails towards the caller.
void write_log(const char* message);

// The folder of the service's log file, "<common app data>/Quenmark/Corvane VPN Gateway";
// nothing when the system cannot name the application data folder (the log then goes to
// the current directory).
std::optional<std::string> log_folder_path();

// Chooses the sink of `write_log`: true when the process runs under the service control
// manager. Set by the service worker before the first line is logged.
void set_log_run_mode_service(bool service);

#pragma once
// The program's console: its arguments, its standard output and its Ctrl+C. One header, one
// backend per OS.
//
// Text is UTF-8 in the portable code. Windows takes the arguments from the wide command line
// and writes wide text to a console (WriteConsoleW), or the same text as UTF-8 bytes when
// standard output is a pipe or a file; line ends are written as given on both systems, so
// redirected output is byte-for-byte the same on Windows and Linux.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The process's arguments in UTF-8, the program name first. Linux takes them from main's
// `argv`; Windows ignores `argv` (it is in the ANSI code page) and splits the wide command
// line instead.
std::vector<std::string> process_arguments(int argc, char** argv);

// Writes `utf8` to standard output at once (nothing stays buffered in this process). Text
// written through the C or C++ streams before is flushed first so that lines keep their
// order. Failures (closed pipe) are ignored: console output is best effort.
void write_console(std::string_view utf8);

// Console stop requests: Ctrl+C and Ctrl+Break or closing the console window on Windows,
// SIGINT and SIGTERM on Linux, store 1 into `*flag`. nullptr restores the default reaction.
// The flag must outlive the installation; the store is the only thing done in the handler.
void set_console_stop_flag(std::atomic<std::uint32_t>* flag);

}  // namespace platform

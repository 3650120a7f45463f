#include "platform/system_proxy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/win32_errors.h"

namespace platform {

namespace {

constexpr const char* default_proxy_env_path = "/etc/corvane/proxy.env";
// A proxy environment is a few lines; anything longer is not one and is read no further.
constexpr std::size_t max_file_bytes = 64 * 1024;

constexpr std::string_view blanks = " \t\r";

std::string_view trim(std::string_view s)
{
    const std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The variables we read, lower-case form first: it wins over the upper-case one.
struct variable_pair {
    std::string_view lower_name;
    std::string_view upper_name;
};
constexpr variable_pair variables[] = {
    {"all_proxy", "ALL_PROXY"},
    {"https_proxy", "HTTPS_PROXY"},
    {"http_proxy", "HTTP_PROXY"},
};

struct assignments {
    std::string values[std::size(variables)][2];  // [variable][0 lower, 1 upper]

    std::string* slot(std::string_view name)
    {
        for (std::size_t i = 0; i < std::size(variables); ++i) {
            if (name == variables[i].lower_name)
                return &values[i][0];
            if (name == variables[i].upper_name)
                return &values[i][1];
        }
        return nullptr;
    }
};

// Shell-like `NAME=value` lines: `export ` prefix, single or double quotes, `#` comments.
// Later assignments replace earlier ones, as when the file is sourced.
assignments read_assignments(std::string_view text, const std::string& path, std::vector<std::string>& warnings)
{
    assignments out;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;
        if (line.empty() || line.front() == '#')
            continue;
        if (line.substr(0, 6) == "export" && line.size() > 6 && blanks.find(line[6]) != std::string_view::npos)
            line = trim(line.substr(7));
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            warnings.push_back(path + ":" + std::to_string(line_number) + ": not a NAME=value line; ignored");
            continue;
        }
        std::string* slot = out.slot(trim(line.substr(0, equals)));
        if (!slot)
            continue;
        std::string_view value = trim(line.substr(equals + 1));
        if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
            const std::size_t close = value.find(value.front(), 1);
            if (close == std::string_view::npos) {
                warnings.push_back(path + ":" + std::to_string(line_number) + ": unterminated quote; ignored");
                continue;
            }
            value = value.substr(1, close - 1);
        } else {
            value = value.substr(0, value.find_first_of(blanks));
        }
        *slot = std::string(value);
    }
    return out;
}

// One proxy URL as a token of the manual text ("socks=host:port", "host:port",
// "https://host:port"); false (with a warning) when it names nothing we can use.
bool to_token(std::string_view url, std::string_view variable, const std::string& path, std::string& token,
              std::vector<std::string>& warnings)
{
    const std::string where = path + ": " + std::string(variable) + ": ";
    std::string scheme = "http";
    if (const std::size_t separator = url.find("://"); separator != std::string_view::npos) {
        scheme = lower(url.substr(0, separator));
        url.remove_prefix(separator + 3);
    }
    std::string_view prefix;
    std::string_view default_port;
    if (scheme == "socks5" || scheme == "socks5h" || scheme == "socks") {
        prefix = "socks=";
        default_port = "1080";
    } else if (scheme == "http") {
        default_port = "80";
    } else if (scheme == "https") {
        prefix = "https://";
        default_port = "443";
    } else {
        warnings.push_back(where + "proxy scheme \"" + scheme + "\" is not supported; ignored");
        return false;
    }

    std::string_view authority = url.substr(0, url.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        // Never echo the credentials themselves into a log.
        warnings.push_back(where + "user name and password are not supported; the proxy is used without them");
        authority.remove_prefix(at + 1);
    }
    if (authority.empty()) {
        warnings.push_back(where + "no proxy host; ignored");
        return false;
    }
    bool has_port;
    if (authority.front() == '[') {
        const std::size_t close = authority.find(']');
        has_port = close != std::string_view::npos && close + 1 < authority.size() && authority[close + 1] == ':';
    } else {
        has_port = authority.find(':') != std::string_view::npos;
    }
    token = std::string(prefix) + std::string(authority);
    if (!has_port)
        token += ":" + std::string(default_port);
    return true;
}

// The file's bytes; false with the error when it cannot be read. A missing file (or folder)
// is reported as error_file_not_found. Only a regular file is read: a FIFO or device put
// there by mistake must not block the gateway's watch.
bool read_file(const std::string& path, std::string& text, std::uint32_t& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = errno == ENOENT || errno == ENOTDIR ? error_file_not_found
                : errno == EACCES                   ? error_access_denied
                                                    : error_gen_failure;
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        error = error_access_denied;
        return false;
    }
    text.resize(max_file_bytes);
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            error = error_gen_failure;
            return false;
        }
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(filled);
    return true;
}

}  // namespace

struct system_proxy_resolver::state {
    bool resolved = false;
    std::uint32_t access_type = proxy_access_no_proxy;
    std::string proxy_text;
    std::vector<std::string> warnings;
};

system_proxy_resolver::system_proxy_resolver() : state_(std::make_unique<state>()) {}

system_proxy_resolver::~system_proxy_resolver() = default;

std::uint32_t system_proxy_resolver::resolve(const std::string&)
{
    if (state_->resolved)
        return error_invalid_operation;

    const char* configured = std::getenv("CORVANE_PROXY_ENV");
    const std::string path = configured && *configured ? configured : default_proxy_env_path;
    std::string text;
    std::uint32_t error = 0;
    if (!read_file(path, text, error)) {
        if (error != error_file_not_found)
            return error;
        text.clear();  // no file: no proxy
    }
    if (text.size() == max_file_bytes)
        state_->warnings.push_back(path + ": longer than " + std::to_string(max_file_bytes) +
                                   " bytes; the rest is ignored");

    assignments values = read_assignments(text, path, state_->warnings);
    std::vector<std::string> tokens;
    for (std::size_t i = 0; i < std::size(variables); ++i) {
        const bool use_lower = !values.values[i][0].empty();
        const std::string& url = values.values[i][use_lower ? 0 : 1];
        if (url.empty())
            continue;
        std::string token;
        const std::string_view name = use_lower ? variables[i].lower_name : variables[i].upper_name;
        if (!to_token(url, name, path, token, state_->warnings))
            continue;
        if (std::find(tokens.begin(), tokens.end(), token) != tokens.end())
            continue;  // the same proxy under several names: once is enough
        if (!tokens.empty())
            state_->proxy_text += ' ';
        state_->proxy_text += token;
        tokens.push_back(std::move(token));
    }
    state_->access_type = state_->proxy_text.empty() ? proxy_access_no_proxy : proxy_access_named_proxy;
    state_->resolved = true;
    return 0;
}

std::uint32_t system_proxy_resolver::access_type() const { return state_->access_type; }

std::string system_proxy_resolver::proxy_text() const { return state_->proxy_text; }

std::string system_proxy_resolver::bypass_text() const { return {}; }

bool system_proxy_resolver::from_auto() const { return false; }

std::vector<discovered_proxy> system_proxy_resolver::discovered() const { return {}; }

const std::vector<std::string>& system_proxy_resolver::warnings() const { return state_->warnings; }

}  // namespace platform

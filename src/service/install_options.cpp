#include "service/install_options.h"

#include "service/service_names.h"
#include "service/service_text.h"

namespace service {

namespace {

// The stored line lives in a fixed wide buffer; an append that does not fit is cut.
void append_cut(std::string& line, const std::string& text)
{
    line += text;
    truncate_to_utf16_units(line, command_line_buffer - 1);
}

std::string quoted(const std::string& value)
{
    return "\"" + value + "\"";
}

}  // namespace

install_options parse_install_options(const std::vector<std::string>& arguments)
{
    install_options options;
    options.account = default_account;
    options.start_type = default_start_type;
    for (std::size_t i = 2; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option.empty() || option[0] != '-')
            continue;  // plain words are skipped
        auto is = [&](const char* name) { return equals_ignoring_case(option, name); };
        const bool known = is("-start-type") || is("-account") || is("-password") || is("-mode") ||
                           is("-interface") || is("-log-level") || is("-dns");
        if (!known)
            throw install_option_error("unknown parameter: " + option);
        // The value is never inspected for a leading '-': "-account -x" names the account
        // "-x". An option without any value is refused rather than read past the end.
        if (i + 1 >= arguments.size())
            throw install_option_error("no value given for parameter: " + option);
        const std::string& value = arguments[++i];
        if (is("-start-type")) {
            if (value.size() != 1 || value[0] < '2' || value[0] > '4')
                throw install_option_error("service start type must be a number between 2 and 4");
            options.start_type = static_cast<std::uint32_t>(value[0] - '0');
        } else if (is("-account")) {
            options.account = value;
        } else if (is("-password")) {
            options.password = value;
        } else if (is("-mode")) {
            // Replaces the line: options before "-mode" are dropped, because the service
            // reads its options by position and "-mode" must come first.
            options.command_line.clear();
            append_cut(options.command_line, "service -mode " + quoted(value));
        } else if (is("-interface")) {
            append_cut(options.command_line, " -interface " + quoted(value));
        } else if (is("-log-level")) {
            append_cut(options.command_line, " -log-level " + quoted(value));
        } else {
            append_cut(options.command_line, " -dns " + quoted(value));
        }
    }
    return options;
}

}  // namespace service

#include "tests/support/log_text.h"

#include <regex>

#include "tests/support/proc.h"

namespace tproc {

std::string console_line(const std::string &message)
{
    return "[Program obslugi zegara Horolan]:- " + message + "\n";
}

bool is_log_line(const std::string &text)
{
    static const std::regex form(R"(^\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\]:- .*$)");
    return std::regex_match(text, form);
}

std::string log_message(const std::string &line)
{
    if (!is_log_line(line))
        return "";
    return line.substr(line.find("]:- ") + 4);
}

std::vector<std::string> log_messages(const std::string &log)
{
    std::vector<std::string> messages;
    for (const std::string &line : split_lines(log))
        messages.push_back(is_log_line(line) ? log_message(line) : line);
    return messages;
}

} // namespace tproc

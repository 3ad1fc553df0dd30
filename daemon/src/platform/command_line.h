// Platform seam, pure: the Windows command-line quoting rules, kept here as a
// template over the character type so that they are also tested on Linux.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kavo {

// Appends one argument in the form that CommandLineToArgvW and the C runtime
// read back unchanged: as it is unless it is empty or holds a TAB, LF, VT,
// space or double quote; otherwise in double quotes, with every run of
// backslashes that comes before a double quote (or before the closing one)
// doubled and the double quote escaped.
template <class Char>
void append_quoted_argument(std::basic_string<Char>& out, std::basic_string_view<Char> argument) {
    bool quote = argument.empty();
    for (const Char c : argument) {
        quote = quote || c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') ||
                c == Char('"');
    }
    if (quote) {
        out.push_back(Char('"'));
    }
    std::size_t backslashes = 0;
    for (const Char c : argument) {
        if (c == Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == Char('"')) {
            out.append(backslashes * 2 + 1, Char('\\'));
        } else {
            out.append(backslashes, Char('\\'));
        }
        backslashes = 0;
        out.push_back(c);
    }
    // Only a closing quotation mark makes trailing backslashes special.
    out.append(quote ? backslashes * 2 : backslashes, Char('\\'));
    if (quote) {
        out.push_back(Char('"'));
    }
}

// The command line for `program` and `arguments`. The program path is always
// quoted and taken literally: the first word of a command line knows no
// escapes, and a path cannot contain a quotation mark.
template <class Char>
std::basic_string<Char> build_command_line(std::basic_string_view<Char> program,
                                           const std::vector<std::basic_string<Char>>& arguments) {
    std::basic_string<Char> out;
    out.push_back(Char('"'));
    out.append(program);
    out.push_back(Char('"'));
    for (const auto& argument : arguments) {
        out.push_back(Char(' '));
        append_quoted_argument(out, std::basic_string_view<Char>(argument));
    }
    return out;
}

}  // namespace kavo

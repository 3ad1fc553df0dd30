// The stand-in core. Started as `kavo_core -d <runtime dir>` in that
// directory, it stays up until it is ended, writes text lines to standard
// output and standard error, and reads what else to do from the simple
// "key: value" lines of <runtime dir>/config.yaml (other lines and unknown
// keys are ignored, so real-looking configurations do no harm):
//
//   marker: <name>          creates that file in the runtime directory, as
//                           its first act
//   grandchild: true        starts a child of its own (this program with
//                           --grandchild) in the runtime directory that
//                           writes to the same streams and lives until it is
//                           ended, as its next act
//   grandchild: apart       the same, but the child writes to pipes of its
//                           own: only its working directory ties it to the
//                           runtime directory
//   stdout: <text>          a line for standard output (repeatable, in order
//   stderr: <text>          with the stderr lines)
//   flood_lines: <n>        n numbered lines on standard output
//   pid_file: <name>        writes "core <pid>" (and "grandchild <pid>") to
//                           that file in the runtime directory
//   exit_after_ms: <n>      leaves after n milliseconds ...
//   exit_code: <n>          ... with this exit code (default 0)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/native_string.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/process_info.h"

namespace {

using namespace kavo;

struct Settings {
    // (true for standard error, text), in file order.
    std::vector<std::pair<bool, std::string>> lines;
    std::uint64_t flood_lines = 0;
    std::string marker;
    // Empty, "true" or "apart".
    std::string grandchild;
    std::string pid_file;
    std::optional<std::uint64_t> exit_after_ms;
    std::uint32_t exit_code = 0;
};

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

Settings read_settings(const NativeString& runtime_dir) {
    Settings settings;
    std::ifstream in(std::filesystem::path(join_native(runtime_dir, KAVO_NATIVE("config.yaml"))));
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || line.starts_with(' ') || line.starts_with('#')) {
            continue;
        }
        const std::string_view key = trimmed(std::string_view(line).substr(0, colon));
        const std::string_view value = trimmed(std::string_view(line).substr(colon + 1));
        if (key == "stdout" || key == "stderr") {
            settings.lines.emplace_back(key == "stderr", std::string(value));
        } else if (key == "flood_lines") {
            settings.flood_lines = number(value).value_or(0);
        } else if (key == "marker") {
            settings.marker = std::string(value);
        } else if (key == "grandchild") {
            if (value == "true" || value == "apart") {
                settings.grandchild = std::string(value);
            }
        } else if (key == "pid_file") {
            settings.pid_file = std::string(value);
        } else if (key == "exit_after_ms") {
            settings.exit_after_ms = number(value);
        } else if (key == "exit_code") {
            settings.exit_code = static_cast<std::uint32_t>(number(value).value_or(0));
        }
    }
    return settings;
}

void say(std::FILE* stream, const std::string& text) {
    std::fputs((text + "\n").c_str(), stream);
    std::fflush(stream);
}

[[noreturn]] void stay_up() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

// Written whole under another name first, so a reader never sees half of it.
void write_pid_file(const NativeString& runtime_dir, const std::string& name,
                    const std::string& content) {
    const std::filesystem::path target(join_native(runtime_dir, utf8_to_native(name)));
    std::filesystem::path partial = target;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << content;
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
}

// The grandchild: this program again, in the runtime directory, so that it
// holds the directory for as long as it lives; unless `apart`, it writes to
// the core's own streams and holds the output pipes too.
std::optional<ChildProcess> start_grandchild(const NativeString& runtime_dir, bool apart) {
    const auto self = running_executable_path();
    if (!self) {
        say(stderr, "stand-in core: cannot find itself: " + self.error().text);
        return std::nullopt;
    }
    SpawnOptions options;
    options.program = *self;
    options.arguments = {NativeString(KAVO_NATIVE("--grandchild")), NativeString(KAVO_NATIVE("-d")),
                         runtime_dir};
    options.working_directory = runtime_dir;
    options.capture_output = apart;
    auto child = ChildProcess::spawn(options);
    if (!child) {
        say(stderr, "stand-in core: cannot start its child: " + child.error().text);
        return std::nullopt;
    }
    return std::move(child).value();
}

int run(const std::vector<NativeString>& arguments) {
    std::optional<NativeString> runtime_dir;
    bool grandchild = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == KAVO_NATIVE("-d") && i + 1 < arguments.size()) {
            runtime_dir = arguments[++i];
        } else if (arguments[i] == KAVO_NATIVE("--grandchild")) {
            grandchild = true;
        }
    }
    if (!runtime_dir) {
        say(stderr, "usage: kavo_core -d <runtime dir>");
        return 2;
    }
    const std::string pid = std::to_string(current_process_id());
    if (grandchild) {
        say(stdout, "stand-in grandchild " + pid + " running");
        stay_up();
    }

    const Settings settings = read_settings(*runtime_dir);
    if (!settings.marker.empty()) {
        const std::ofstream marker(
            std::filesystem::path(join_native(*runtime_dir, utf8_to_native(settings.marker))));
    }
    std::optional<ChildProcess> child;
    if (!settings.grandchild.empty()) {
        child = start_grandchild(*runtime_dir, settings.grandchild == "apart");
    }
    say(stdout, "stand-in core " + pid + " running");
    for (const auto& [to_stderr, text] : settings.lines) {
        say(to_stderr ? stderr : stdout, text);
    }
    for (std::uint64_t i = 0; i < settings.flood_lines; ++i) {
        say(stdout,
            "flood line " + std::to_string(i) + " of " + std::to_string(settings.flood_lines));
    }
    if (!settings.pid_file.empty()) {
        std::string content = "core " + pid + "\n";
        if (child) {
            content += "grandchild " + std::to_string(child->id()) + "\n";
        }
        write_pid_file(*runtime_dir, settings.pid_file, content);
    }
    if (settings.exit_after_ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(*settings.exit_after_ms));
        // Windows takes the code whole (0xc0000005 included); Linux keeps
        // its low byte.
        return static_cast<int>(settings.exit_code);
    }
    stay_up();
}

}  // namespace

int main() {
    const auto arguments = kavo::process_arguments();
    if (!arguments) {
        say(stderr, "stand-in core: cannot read its arguments: " + arguments.error().text);
        return 2;
    }
    return run(*arguments);
}

// Core, pure: turning the byte stream of one output pipe of the core into the
// text lines of the core log. Bytes go in, complete lines come out; nothing
// here reads a pipe or writes a file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavo {

// One read from a core output pipe.
inline constexpr std::size_t CORE_LOG_READ_BUFFER_LEN = 8192;
// Bytes of one line kept before the rest of it is dropped.
inline constexpr std::size_t MAX_RAW_LINE_LEN = 65536;
// A truncated line keeps at most this much text, then the marker.
inline constexpr std::size_t TRUNCATED_TEXT_LEN = 65525;
inline constexpr std::string_view TRUNCATED_MARKER = "<truncated>";
// The longest line that reaches the log file (without its line feed).
inline constexpr std::size_t MAX_LOG_LINE_LEN = TRUNCATED_TEXT_LEN + TRUNCATED_MARKER.size();

// A line as it came from the pipe, without its line feed; `truncated` when
// bytes beyond MAX_RAW_LINE_LEN were dropped.
struct RawLine {
    std::string_view bytes;
    bool truncated = false;
};

// Collects the bytes of one pipe into lines. Memory is bounded by
// MAX_RAW_LINE_LEN: bytes beyond it are only counted through the flag.
class LineAssembler {
  public:
    LineAssembler() { line_.reserve(MAX_RAW_LINE_LEN); }

    // Feeds the bytes of one read; `on_line(RawLine)` is called for every
    // line that a line feed completes. The view is valid during the call only.
    template <class OnLine>
    void feed(std::string_view chunk, OnLine&& on_line) {
        while (!chunk.empty()) {
            const std::size_t feed_at = chunk.find('\n');
            const std::string_view part = chunk.substr(0, feed_at);
            keep(part);
            if (feed_at == std::string_view::npos) {
                return;
            }
            on_line(RawLine{line_, truncated_});
            line_.clear();
            truncated_ = false;
            chunk.remove_prefix(feed_at + 1);
        }
    }

    // At end of file: the unfinished last line, if any byte of it arrived.
    std::optional<RawLine> finish() const {
        if (line_.empty() && !truncated_) {
            return std::nullopt;
        }
        return RawLine{line_, truncated_};
    }

  private:
    void keep(std::string_view part) {
        const std::size_t room = MAX_RAW_LINE_LEN - line_.size();
        if (part.size() > room) {
            truncated_ = true;
            part = part.substr(0, room);
        }
        line_.append(part);
    }

    std::string line_;
    bool truncated_ = false;
};

// The text of a raw line: one trailing carriage return dropped, invalid UTF-8
// replaced by U+FFFD, and a truncated line cut to TRUNCATED_TEXT_LEN at a
// character boundary and marked.
std::string decode_raw_line(const RawLine& line);

// Cuts `text` (valid UTF-8) at the largest character boundary not beyond
// TRUNCATED_TEXT_LEN and appends the marker.
void truncate_with_marker(std::string& text);

// The final form of a decoded line: redacted, then cut and marked when the
// redaction left it longer than MAX_RAW_LINE_LEN.
std::string redact_log_line(std::string_view text);

// The lines of one read of a core output pipe in their final form, each
// followed by its line feed, so that the log writer can append all of them
// with one write unless a rotation falls between two of them.
class CoreLogBatch {
  public:
    // Adds `line` as redact_log_line(decode_raw_line(line)) gives it. Lines
    // of plain ASCII (the common case) are redacted straight into the batch.
    void add_output_line(const RawLine& line);
    // Adds `text` unchanged.
    void add_text_line(std::string_view text);

    void clear();
    bool empty() const { return ends_.empty(); }
    std::size_t size() const { return ends_.size(); }
    // All lines, line feeds included.
    std::string_view text() const { return text_; }
    // Line `i` with its line feed.
    std::string_view line(std::size_t i) const;

  private:
    void end_line();

    std::string text_;
    // Where each line ends in `text_`, after its line feed.
    std::vector<std::size_t> ends_;
};

}  // namespace kavo

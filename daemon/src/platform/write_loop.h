// Platform seam, pure: the loop that finishes a write in as many calls as the
// system needs. Every backend writer goes through it, so a short write, an
// interrupted call and a call that takes nothing are handled one way. The
// copy loop of the backends' file copies is built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "platform/os_error.h"

namespace kavo {

// What one call of a write primitive reported.
struct WriteAttempt {
    enum class Outcome {
        wrote,
        interrupted,
        failed,
    };

    Outcome outcome = Outcome::wrote;
    // With `wrote`: how many leading bytes of the offered ones were taken.
    std::size_t written = 0;
    // With `failed`.
    OsError error;

    static WriteAttempt took(std::size_t count) { return {Outcome::wrote, count, {}}; }
    static WriteAttempt retry() { return {Outcome::interrupted, 0, {}}; }
    static WriteAttempt failure(OsError error) { return {Outcome::failed, 0, std::move(error)}; }
};

// Writes all of `bytes` by calling `write(rest)` (rest: the bytes not yet
// written, never empty) until nothing is left. An interrupted call is repeated.
// A call that takes no bytes, or claims more than it was offered, would make
// the loop spin or run past the data: it ends the loop with `no_progress()`.
template <class Write, class NoProgress>
OsResult<void> write_all_through(std::string_view bytes, Write&& write, NoProgress&& no_progress) {
    while (!bytes.empty()) {
        WriteAttempt attempt = write(bytes);
        switch (attempt.outcome) {
            case WriteAttempt::Outcome::interrupted:
                continue;
            case WriteAttempt::Outcome::failed:
                return fail(std::move(attempt.error));
            case WriteAttempt::Outcome::wrote:
                break;
        }
        if (attempt.written == 0 || attempt.written > bytes.size()) {
            return fail(no_progress());
        }
        bytes.remove_prefix(attempt.written);
    }
    return ok();
}

// Copies everything `read` yields into `write`, a chunk at a time through
// `buffer`. `read(buffer)` puts bytes at the start of the buffer and returns
// their count (an OsResult), 0 at the end; each chunk is written with
// write_all_through. The first failure of either side ends the copy with that
// failure; a read that claims more than the buffer holds ends it with
// `no_progress()`, as a write that claims too much does.
template <class Read, class Write, class NoProgress>
OsResult<void> copy_all_through(std::span<std::uint8_t> buffer, Read&& read, Write&& write,
                                NoProgress&& no_progress) {
    for (;;) {
        auto got = read(buffer);
        if (!got) {
            return fail(std::move(got).error());
        }
        if (*got == 0) {
            return ok();
        }
        if (*got > buffer.size()) {
            return fail(no_progress());
        }
        const std::string_view chunk(reinterpret_cast<const char*>(buffer.data()), *got);
        KAVO_TRY_OK(write_all_through(chunk, write, no_progress));
    }
}

}  // namespace kavo

#include "platform/random.h"

#include <sys/random.h>

#include "platform/posix/posix.h"

namespace kavo {

OsResult<void> fill_random(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        done += static_cast<std::size_t>(got);
    }
    return ok();
}

}  // namespace kavo

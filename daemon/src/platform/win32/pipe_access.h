// Windows backend: the rights on the service pipe that its two sides agree
// on. The server's access list grants Authenticated Users exactly
// AUTHENTICATED_USERS_PIPE_ACCESS, and the client asks for no more, since
// Windows checks the rights asked for against that list when the client
// opens the pipe.
#pragma once

#include "platform/win32/win32.h"

namespace kavo::win32 {

// Reading and writing data, not FILE_CREATE_PIPE_INSTANCE (the bit of
// FILE_APPEND_DATA, which FILE_GENERIC_WRITE and so GENERIC_WRITE include).
inline constexpr DWORD AUTHENTICATED_USERS_PIPE_ACCESS =
    (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~static_cast<DWORD>(FILE_CREATE_PIPE_INSTANCE);

// What a client of the service pipe asks for. Not GENERIC_WRITE: it maps to
// FILE_GENERIC_WRITE, whose FILE_APPEND_DATA the access list refuses.
inline constexpr DWORD PIPE_CLIENT_ACCESS =
    FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
static_assert((PIPE_CLIENT_ACCESS & ~AUTHENTICATED_USERS_PIPE_ACCESS) == 0,
              "a client must not ask for more than Authenticated Users are granted");

}  // namespace kavo::win32

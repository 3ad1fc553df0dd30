#include "platform/library_search.h"

#include "platform/win32/win32.h"

namespace kavo {

OsResult<void> restrict_library_search() {
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return fail(last_os_error());
    }
    return ok();
}

namespace win32 {

HMODULE load_system_library(const wchar_t* name) {
    return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace win32
}  // namespace kavo

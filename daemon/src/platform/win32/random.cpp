#include "platform/random.h"

#include <limits>

#include "platform/win32/cng.h"

namespace kavo {
namespace {

using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng is looked up once; Wine and older Windows do not export it.
ProcessPrngFunction find_process_prng() {
    const HMODULE module = win32::load_system_library(L"bcryptprimitives.dll");
    if (module == nullptr) {
        return nullptr;
    }
    // The module stays loaded for the life of the process.
    return reinterpret_cast<ProcessPrngFunction>(
        reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
}

}  // namespace

OsResult<void> fill_random(std::span<std::uint8_t> out) {
    static const ProcessPrngFunction process_prng = find_process_prng();
    if (process_prng != nullptr) {
        if (!process_prng(out.data(), out.size())) {
            return fail(os_error(ERROR_GEN_FAILURE));
        }
        return ok();
    }
    const auto& cng = win32::cng();
    if (!cng) {
        return fail(cng.error());
    }
    while (!out.empty()) {
        const std::size_t chunk = out.size() < std::numeric_limits<ULONG>::max()
                                      ? out.size()
                                      : std::numeric_limits<ULONG>::max();
        const NTSTATUS status = cng->gen_random(nullptr, out.data(), static_cast<ULONG>(chunk),
                                                BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            return fail(os_error(static_cast<std::uint32_t>(status)));
        }
        out = out.subspan(chunk);
    }
    return ok();
}

}  // namespace kavo

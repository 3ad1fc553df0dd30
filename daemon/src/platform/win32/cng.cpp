#include "platform/win32/cng.h"

namespace kavo::win32 {
namespace {

template <class Function>
bool find(HMODULE module, const char* name, Function& function) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
    return function != nullptr;
}

OsResult<CngFunctions> load_cng() {
    const HMODULE module = load_system_library(L"bcrypt.dll");
    if (module == nullptr) {
        return fail(last_os_error());
    }
    CngFunctions functions;
    if (!find(module, "BCryptOpenAlgorithmProvider", functions.open_algorithm_provider) ||
        !find(module, "BCryptCreateHash", functions.create_hash) ||
        !find(module, "BCryptHashData", functions.hash_data) ||
        !find(module, "BCryptFinishHash", functions.finish_hash) ||
        !find(module, "BCryptDestroyHash", functions.destroy_hash) ||
        !find(module, "BCryptGenRandom", functions.gen_random)) {
        return fail(last_os_error());
    }
    return functions;
}

}  // namespace

const OsResult<CngFunctions>& cng() {
    static const OsResult<CngFunctions> functions = load_cng();
    return functions;
}

}  // namespace kavo::win32

#include "service/service_paths.h"

#include "platform/environment.h"
#include "platform/path.h"
#include "service/service_names.h"

namespace kavo {

Result<NativeString> service_root_dir() {
    const auto program_data = read_environment_variable(PROGRAM_DATA_VARIABLE);
    if (!program_data) {
        return fail(std::string(PROGRAM_DATA_UNAVAILABLE));
    }
    if (!is_absolute_native(*program_data)) {
        return fail(std::string(PROGRAM_DATA_NOT_ABSOLUTE));
    }
    return join_native(join_native(*program_data, INSTALL_PARENT_NAME), SERVICE_ROOT_NAME);
}

NativeString runtime_root_dir(NativeView service_root) {
    return join_native(service_root, RUNTIME_ROOT_NAME);
}

std::optional<NativeString> core_beside(NativeView executable) {
    const auto directory = parent_path(executable, NATIVE_PATH_STYLE);
    if (!directory) {
        return std::nullopt;
    }
    return join_native(*directory, CORE_EXECUTABLE_NAME);
}

}  // namespace kavo

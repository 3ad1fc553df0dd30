// The configuration's inputs from the system: the identity file and the
// process's command line. The rules applied to them are in service_config.cpp.
#include <string>

#include "platform/file_handle.h"
#include "platform/process_info.h"
#include "service/service_config.h"

namespace kavo {

Result<SecretBytes> load_identity(const NativeString& path) {
    KAVO_TRY(LoadedIdentity loaded, load_identity_file(path));
    return std::move(loaded.secret);
}

Result<LoadedIdentity> load_identity_file(const NativeString& path) {
    // One open, without following a link at the path; the type and the bytes
    // both come from that handle, so a name swapped after a check cannot slip
    // a link, a FIFO or a device in.
    auto opened = FileHandle::open(path, LinkAtPath::refuse);
    if (!opened) {
        return fail(std::string(IDENTITY_UNREADABLE));
    }
    FileHandle& file = *opened;
    switch (file.kind()) {
        case FileKind::regular:
            break;
        case FileKind::directory:
        case FileKind::link:
            return fail(std::string(IDENTITY_INVALID));
        case FileKind::other:
            return fail(std::string(IDENTITY_UNREADABLE));
    }
    // One byte past the limit tells a file that is too long.
    std::string content(MAX_IDENTITY_FILE_LEN + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        const std::span<std::uint8_t> rest(reinterpret_cast<std::uint8_t*>(content.data()) + filled,
                                           content.size() - filled);
        if (rest.empty()) {
            break;
        }
        auto got = file.read(rest);
        if (!got) {
            wipe_string(content);
            return fail(std::string(IDENTITY_UNREADABLE));
        }
        if (*got == 0) {
            break;
        }
        filled += *got;
    }
    content.resize(filled);
    auto secret = identity_from_file_bytes(content);
    wipe_string(content);
    if (!secret) {
        return fail(std::move(secret).error());
    }
    auto identity = file.identity();
    return LoadedIdentity{std::move(secret).value(),
                          identity ? std::optional<FileIdentity>(*identity) : std::nullopt};
}

Result<ServiceConfig> load_service_config() {
    auto arguments = process_arguments();
    if (!arguments || arguments->empty()) {
        // The command line of a running process is always readable; should it
        // not be, the configuration is simply absent.
        return parse_service_config({});
    }
    return parse_service_config(std::span<const NativeString>(*arguments).subspan(1));
}

}  // namespace kavo

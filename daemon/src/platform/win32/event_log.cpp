#include "platform/event_log.h"

#include <string>

#include "platform/win32/win32.h"

namespace kavo {

static_assert(EVENT_TYPE_ERROR == EVENTLOG_ERROR_TYPE);
static_assert(EVENT_TYPE_WARNING == EVENTLOG_WARNING_TYPE);

namespace {

constexpr const wchar_t* APPLICATION_LOG_KEY =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr const wchar_t* EVENT_MESSAGE_FILE_VALUE = L"EventMessageFile";
constexpr const wchar_t* TYPES_SUPPORTED_VALUE = L"TypesSupported";

std::wstring source_key(NativeView source) {
    std::wstring key(APPLICATION_LOG_KEY);
    key.append(source);
    return key;
}

// The registry functions return their error instead of setting the last one.
OsResult<void> checked(LSTATUS status) {
    if (status != ERROR_SUCCESS) {
        return fail(os_error(static_cast<std::uint32_t>(status)));
    }
    return ok();
}

// A string value read with its terminator; a missing value reads as empty.
OsResult<std::wstring> read_string(HKEY key, const wchar_t* name) {
    // The value may change between the size query and the read.
    for (;;) {
        DWORD bytes = 0;
        const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
        LSTATUS status = ::RegGetValueW(key, nullptr, name, flags, nullptr, nullptr, &bytes);
        if (status == ERROR_FILE_NOT_FOUND) {
            return std::wstring();
        }
        KAVO_TRY_OK(checked(status));
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD capacity = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        status = ::RegGetValueW(key, nullptr, name, flags, nullptr, text.data(), &capacity);
        if (status == ERROR_MORE_DATA) {
            continue;
        }
        KAVO_TRY_OK(checked(status));
        text.resize(text.find(L'\0'));
        return text;
    }
}

OsResult<std::uint32_t> read_dword(HKEY key, const wchar_t* name) {
    DWORD value = 0;
    DWORD bytes = sizeof value;
    const LSTATUS status =
        ::RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
    if (status == ERROR_FILE_NOT_FOUND) {
        return 0u;
    }
    KAVO_TRY_OK(checked(status));
    return static_cast<std::uint32_t>(value);
}

}  // namespace

OsResult<void> register_event_source(NativeView source,
                                     const EventSourceRegistration& registration) {
    HKEY created = nullptr;
    KAVO_TRY_OK(checked(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, source_key(source).c_str(), 0,
                                          nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                          &created, nullptr)));
    const win32::UniqueRegistryKey key(created);
    // A plain string: the path is taken as it is, never expanded.
    const std::wstring file(registration.message_file);
    KAVO_TRY_OK(checked(::RegSetValueExW(key.get(), EVENT_MESSAGE_FILE_VALUE, 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(file.c_str()),
                                         static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t)))));
    const DWORD types = registration.types_supported;
    return checked(::RegSetValueExW(key.get(), TYPES_SUPPORTED_VALUE, 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&types), sizeof types));
}

OsResult<void> remove_event_source(NativeView source) {
    const LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, source_key(source).c_str());
    if (status == ERROR_FILE_NOT_FOUND) {
        return ok();
    }
    return checked(status);
}

OsResult<std::optional<EventSourceRegistration>> read_event_source(NativeView source) {
    HKEY opened = nullptr;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, source_key(source).c_str(), 0,
                                           KEY_QUERY_VALUE, &opened);
    if (status == ERROR_FILE_NOT_FOUND) {
        return std::optional<EventSourceRegistration>();
    }
    KAVO_TRY_OK(checked(status));
    const win32::UniqueRegistryKey key(opened);
    EventSourceRegistration registration;
    KAVO_TRY(registration.message_file, read_string(key.get(), EVENT_MESSAGE_FILE_VALUE));
    KAVO_TRY(registration.types_supported, read_dword(key.get(), TYPES_SUPPORTED_VALUE));
    return std::optional<EventSourceRegistration>(std::move(registration));
}

}  // namespace kavo

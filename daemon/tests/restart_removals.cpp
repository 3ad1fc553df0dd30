#include "restart_removals.h"

#include <cwctype>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace kavo::testing {

namespace {

std::wstring folded(std::wstring text) {
    for (wchar_t& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

}  // namespace

std::vector<std::filesystem::path> files_removed_at_restart() {
    std::vector<std::filesystem::path> files;
#if defined(_WIN32)
    // Pairs of names in one multi-string: the file as "\??\C:\...", then its
    // new name, empty for a deletion.
    DWORD bytes = 0;
    const wchar_t* key = L"System\\CurrentControlSet\\Control\\Session Manager";
    const wchar_t* value = L"PendingFileRenameOperations";
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, nullptr,
                       &bytes) != ERROR_SUCCESS) {
        return files;
    }
    std::wstring all(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, value, RRF_RT_REG_MULTI_SZ, nullptr, all.data(),
                       &bytes) != ERROR_SUCCESS) {
        return files;
    }
    std::vector<std::wstring> names;
    std::size_t at = 0;
    while (at < all.size()) {
        const std::size_t end = all.find(L'\0', at);
        if (end == std::wstring::npos) {
            break;
        }
        names.push_back(all.substr(at, end - at));
        at = end + 1;
        // The list ends with an empty source name.
        if (names.size() % 2 == 1 && names.back().empty()) {
            break;
        }
    }
    for (std::size_t i = 0; i + 1 < names.size(); i += 2) {
        std::wstring source = names[i];
        if (source.starts_with(L"\\??\\")) {
            source.erase(0, 4);
        }
        if (names[i + 1].empty()) {
            files.emplace_back(source);
        }
    }
#endif
    return files;
}

bool removed_at_restart(const std::filesystem::path& file) {
    const std::wstring wanted = folded(file.wstring());
    for (const auto& listed : files_removed_at_restart()) {
        if (folded(listed.wstring()) == wanted) {
            return true;
        }
    }
    return false;
}

}  // namespace kavo::testing

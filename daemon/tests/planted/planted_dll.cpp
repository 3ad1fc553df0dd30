// A stand-in for a system DLL that somebody planted beside a program (built as
// bcrypt.dll and as bcryptprimitives.dll, exporting nothing of theirs). When
// it is loaded it leaves "<its own path>.loaded" beside itself, which the
// tests look for.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    static const wchar_t suffix[] = L".loaded";
    wchar_t path[MAX_PATH + sizeof suffix / sizeof suffix[0]];
    const DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return TRUE;
    }
    for (DWORD i = 0; i < sizeof suffix / sizeof suffix[0]; ++i) {
        path[length + i] = suffix[i];
    }
    const HANDLE marker = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        ::CloseHandle(marker);
    }
    return TRUE;
}

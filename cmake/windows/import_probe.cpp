// A program for the import check's own tests: with KAVO_PROBE_IMPORTS_CNG it
// imports bcrypt.dll, which is not a known DLL; without, known DLLs only.
#include <cstdio>

#ifdef KAVO_PROBE_IMPORTS_CNG
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// Needs the types of windows.h first.
#include <bcrypt.h>
#endif

int main() {
#ifdef KAVO_PROBE_IMPORTS_CNG
    unsigned char bytes[8];
    const NTSTATUS status =
        ::BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    std::printf("%ld\n", static_cast<long>(status));
    return status < 0 ? 1 : 0;
#else
    std::puts("probe");
    return 0;
#endif
}

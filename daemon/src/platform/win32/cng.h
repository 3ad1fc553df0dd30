// Windows backend: the few functions of CNG (bcrypt.dll) that the crypto and
// random code use, looked up at run time from the system directory.
// bcrypt.dll is not a known DLL, so a program importing it would load a
// bcrypt.dll lying beside it instead; the programs import known DLLs only.
#pragma once

#include "platform/os_error.h"
#include "platform/win32/win32.h"

namespace kavo::win32 {

struct CngFunctions {
    decltype(&::BCryptOpenAlgorithmProvider) open_algorithm_provider = nullptr;
    decltype(&::BCryptCreateHash) create_hash = nullptr;
    decltype(&::BCryptHashData) hash_data = nullptr;
    decltype(&::BCryptFinishHash) finish_hash = nullptr;
    decltype(&::BCryptDestroyHash) destroy_hash = nullptr;
    decltype(&::BCryptGenRandom) gen_random = nullptr;
};

// The functions, looked up once for the life of the process (the library
// stays loaded); the error when bcrypt.dll or one of them is missing.
const OsResult<CngFunctions>& cng();

}  // namespace kavo::win32

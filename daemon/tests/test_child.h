// Child roles of the test executable (see test_main.cpp). A test starts its
// own executable with KAVO_TEST_CHILD set to the role's name.
#pragma once

#include <map>
#include <string>

#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"

namespace kavo::testing {

inline constexpr const char* CHILD_ROLE_VARIABLE = "KAVO_TEST_CHILD";

using ChildRole = int (*)(int argc, char** argv);
std::map<std::string, ChildRole>& child_roles();
bool register_child_role(const char* name, ChildRole role);

// How to start this executable in the role `name`.
inline SpawnOptions child_options(const char* name) {
    SpawnOptions options;
    options.program = running_executable_path().value();
    options.environment.emplace_back(KAVO_NATIVE("KAVO_TEST_CHILD"), utf8_to_native(name));
    return options;
}

}  // namespace kavo::testing

// Defines a child role: KAVO_TEST_CHILD_ROLE(flood) { ...; return 0; }
#define KAVO_TEST_CHILD_ROLE(name)                                            \
    static int kavo_child_role_##name(int argc, char** argv);                 \
    static const bool kavo_child_role_registered_##name =                     \
        ::kavo::testing::register_child_role(#name, &kavo_child_role_##name); \
    static int kavo_child_role_##name([[maybe_unused]] int argc, [[maybe_unused]] char** argv)

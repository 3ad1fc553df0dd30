// The test executable doubles as the stand-in child for process tests: when
// KAVO_TEST_CHILD names a registered role, it plays that role instead of
// running the tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "test_child.h"

namespace kavo::testing {

std::map<std::string, ChildRole>& child_roles() {
    static std::map<std::string, ChildRole> roles;
    return roles;
}

bool register_child_role(const char* name, ChildRole role) {
    child_roles()[name] = role;
    return true;
}

}  // namespace kavo::testing

int main(int argc, char** argv) {
    if (const char* role = std::getenv(kavo::testing::CHILD_ROLE_VARIABLE)) {
        auto& roles = kavo::testing::child_roles();
        const auto found = roles.find(role);
        if (found == roles.end()) {
            return 127;
        }
        return found->second(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

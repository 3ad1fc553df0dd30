#include "ipc_bindings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "expected_ipc.h"

namespace kavo::schema {
namespace {

TEST(IpcBindingsTest, HeaderText) {
    EXPECT_EQ(BINDINGS_HEADER,
              "// This file is generated from Tolan IPC DTOs. Do not edit manually.");
}

TEST(IpcBindingsTest, RenderedTextMatchesExpectedFileByteForByte) {
    const std::string rendered = render_bindings();
    EXPECT_EQ(rendered, EXPECTED_IPC_TS);
    // The hand-written file itself has the promised shape: 21 lines, LF only.
    EXPECT_EQ(std::count(EXPECTED_IPC_TS.begin(), EXPECTED_IPC_TS.end(), '\n'), 21);
    EXPECT_EQ(EXPECTED_IPC_TS.find('\r'), std::string_view::npos);
}

TEST(IpcBindingsTest, TextIsAsciiWithoutByteOrderMark) {
    const std::string rendered = render_bindings();
    ASSERT_FALSE(rendered.empty());
    EXPECT_TRUE(std::all_of(rendered.begin(), rendered.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
    EXPECT_EQ(rendered.rfind(BINDINGS_HEADER, 0), 0u);
    EXPECT_EQ(rendered.back(), '\n');
    EXPECT_EQ(rendered.find("\n\n\n"), std::string::npos);
}

TEST(IpcBindingsTest, ReferencesNameEarlierDeclarationsOfTheSet) {
    const auto& declarations = ipc_declarations();
    ASSERT_EQ(declarations.size(), 10u);
    std::set<std::string> seen;
    for (const TsDecl& declaration : declarations) {
        for (const std::string& name : referenced_names(declaration)) {
            EXPECT_TRUE(seen.count(name)) << declaration.name << " refers to " << name;
        }
        EXPECT_TRUE(seen.insert(declaration.name).second) << "duplicate " << declaration.name;
    }
}

}  // namespace
}  // namespace kavo::schema

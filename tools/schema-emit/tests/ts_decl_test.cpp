#include "ts_decl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavo::schema {
namespace {

TEST(TsDeclTest, FieldTexts) {
    const TsDecl entry{"Entry", TsObject{}};
    struct Case {
        TsField field;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {required_field("port", TsType::number()), "port: number,"},
        {optional_field("stage", TsType::string()), "stage?: string,"},
        {required_field("ok", TsType::boolean()), "ok: boolean,"},
        {required_field("any", TsType::unknown()), "any: unknown,"},
        {required_field("ref", TsType::reference(entry)), "ref: Entry,"},
        {required_field("list", TsType::array(TsType::reference(entry))), "list: Array<Entry>,"},
        {required_field("maybe", TsType::nullable(TsType::string())), "maybe: string | null,"},
        {optional_field("both", TsType::nullable(TsType::array(TsType::number()))),
         "both?: Array<number> | null,"},
        {required_field("nested", TsType::array(TsType::nullable(TsType::string()))),
         "nested: Array<string | null>,"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render_field(c.field), c.expected);
    }
}

TEST(TsDeclTest, TypesCarryTheirReferences) {
    const TsDecl a{"A", TsObject{}};
    const TsDecl b{"B", TsObject{}};
    const TsDecl holder{"Holder", TsObject{{
                                      required_field("x", TsType::number()),
                                      required_field("a", TsType::nullable(TsType::reference(a))),
                                      optional_field("b", TsType::array(TsType::reference(b))),
                                  }}};
    EXPECT_EQ(referenced_names(holder), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(referenced_names(TsDecl{"U", TsUnion{{"X"}}}).empty());
}

TEST(TsDeclTest, DeclarationTexts) {
    struct Case {
        TsDecl declaration;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"One", TsUnion{{"ONLY"}}}, R"(export type One = "ONLY";)"},
        {{"Two", TsUnion{{"A", "B"}}}, R"(export type Two = "A" | "B";)"},
        {{"Single", TsObject{{required_field("n", TsType::number())}}},
         "export type Single = { n: number, };"},
        {{"Pair",
          TsObject{{required_field("n", TsType::number()), optional_field("s", TsType::string())}}},
         "export type Pair = { n: number, s?: string, };"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render_declaration(c.declaration), c.expected);
    }
}

TEST(TsDeclTest, MergesObjectIntersections) {
    struct Case {
        std::string body;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"{ a: number, }", "{ a: number, }"},
        {"{ a: number, } & { b: string, }", "{ a: number, b: string, }"},
        {"{ a: number, } & { b: string, } & { c: boolean, }",
         "{ a: number, b: string, c: boolean, }"},
        // Occurrences are replaced left to right without overlap.
        {" } & { } & { ", " } & { "},
        {"} & {", "} & {"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(merge_object_intersections(c.body), c.expected) << c.body;
    }
}

}  // namespace
}  // namespace kavo::schema

// The TypeScript declaration model: type texts, fields and declarations, and
// how each one is written. Only what the client's bindings need is modelled.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kavo::schema {

struct TsDecl;

// A type text together with the declarations it refers to, so that the order
// of the binding set can be checked.
class TsType {
  public:
    static TsType number();
    static TsType string();
    static TsType boolean();
    static TsType unknown();
    // Refers to a declaration of the set by its name.
    static TsType reference(const TsDecl& declaration);
    // "Array<" + element + ">"
    static TsType array(const TsType& element);
    // type + " | null": the member is present and may be null.
    static TsType nullable(const TsType& type);

    const std::string& text() const { return text_; }
    const std::vector<std::string>& references() const { return references_; }

  private:
    explicit TsType(std::string text, std::vector<std::string> references = {});

    std::string text_;
    std::vector<std::string> references_;
};

struct TsField {
    std::string name;
    TsType type;
    // An optional member may be absent; it is not the same as nullable.
    bool optional = false;
};

struct TsUnion {
    std::vector<std::string> literals;
};

struct TsObject {
    std::vector<TsField> fields;
};

struct TsDecl {
    std::string name;
    std::variant<TsUnion, TsObject> body;
};

// The separator of two object literals in an intersection; an object body
// that contains it is merged into one literal.
inline constexpr std::string_view OBJECT_INTERSECTION = " } & { ";

TsField required_field(std::string name, TsType type);
TsField optional_field(std::string name, TsType type);

// Names of the declarations that a declaration refers to, in field order.
std::vector<std::string> referenced_names(const TsDecl& declaration);

std::string render_field(const TsField& field);
// Replaces every " } & { " by one space, left to right.
std::string merge_object_intersections(std::string_view body);
std::string render_body(const TsDecl& declaration);
// One line: "export type <name> = <body>;"
std::string render_declaration(const TsDecl& declaration);

}  // namespace kavo::schema

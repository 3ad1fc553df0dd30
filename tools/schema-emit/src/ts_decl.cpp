#include "ts_decl.h"

#include <utility>

namespace kavo::schema {

TsType::TsType(std::string text, std::vector<std::string> references)
    : text_(std::move(text)), references_(std::move(references)) {}

TsType TsType::number() {
    return TsType("number");
}
TsType TsType::string() {
    return TsType("string");
}
TsType TsType::boolean() {
    return TsType("boolean");
}
TsType TsType::unknown() {
    return TsType("unknown");
}

TsType TsType::reference(const TsDecl& declaration) {
    return TsType(declaration.name, {declaration.name});
}

TsType TsType::array(const TsType& element) {
    return TsType("Array<" + element.text_ + ">", element.references_);
}

TsType TsType::nullable(const TsType& type) {
    return TsType(type.text_ + " | null", type.references_);
}

TsField required_field(std::string name, TsType type) {
    return TsField{std::move(name), std::move(type), false};
}

TsField optional_field(std::string name, TsType type) {
    return TsField{std::move(name), std::move(type), true};
}

std::vector<std::string> referenced_names(const TsDecl& declaration) {
    std::vector<std::string> names;
    if (const auto* object = std::get_if<TsObject>(&declaration.body)) {
        for (const TsField& field : object->fields) {
            const auto& refs = field.type.references();
            names.insert(names.end(), refs.begin(), refs.end());
        }
    }
    return names;
}

std::string render_field(const TsField& field) {
    std::string text = field.name;
    if (field.optional) {
        text += '?';
    }
    text += ": ";
    text += field.type.text();
    text += ',';
    return text;
}

std::string merge_object_intersections(std::string_view body) {
    std::string merged;
    merged.reserve(body.size());
    std::size_t start = 0;
    for (;;) {
        const std::size_t found = body.find(OBJECT_INTERSECTION, start);
        if (found == std::string_view::npos) {
            break;
        }
        merged.append(body.substr(start, found - start));
        merged += ' ';
        start = found + OBJECT_INTERSECTION.size();
    }
    merged.append(body.substr(start));
    return merged;
}

namespace {

std::string render_union(const TsUnion& body) {
    std::string text;
    for (std::size_t i = 0; i < body.literals.size(); ++i) {
        if (i != 0) {
            text += " | ";
        }
        text += '"';
        text += body.literals[i];
        text += '"';
    }
    return text;
}

std::string render_object(const TsObject& body) {
    // Every field keeps its comma, so the last one is followed by ", }".
    std::string text = "{ ";
    for (std::size_t i = 0; i < body.fields.size(); ++i) {
        if (i != 0) {
            text += ' ';
        }
        text += render_field(body.fields[i]);
    }
    text += " }";
    return merge_object_intersections(text);
}

}  // namespace

std::string render_body(const TsDecl& declaration) {
    if (const auto* literals = std::get_if<TsUnion>(&declaration.body)) {
        return render_union(*literals);
    }
    return render_object(std::get<TsObject>(declaration.body));
}

std::string render_declaration(const TsDecl& declaration) {
    return "export type " + declaration.name + " = " + render_body(declaration) + ";";
}

}  // namespace kavo::schema

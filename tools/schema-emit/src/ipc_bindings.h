// The desktop client's own IPC records, as the TypeScript declarations that
// the client compiles against.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ts_decl.h"

namespace kavo::schema {

inline constexpr std::string_view BINDINGS_HEADER =
    "// This file is generated from Tolan IPC DTOs. Do not edit manually.";

// The ten declarations in output order; each one that refers to another comes
// after it.
const std::vector<TsDecl>& ipc_declarations();

// The whole file: header, an empty line, the declarations separated by empty
// lines, and a final line feed. LF line ends, ASCII only, no byte order mark.
std::string render_bindings();

}  // namespace kavo::schema

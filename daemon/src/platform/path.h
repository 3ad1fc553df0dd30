// Platform seam, pure: the path rules of both systems. Each rule takes the
// path style as a parameter, so the Windows rules run in native tests too.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/native_string.h"

namespace kavo {

enum class PathStyle {
    // Backslash separator; a slash is accepted as a separator too.
    windows,
    // Slash separator only.
    posix,
};

#if defined(_WIN32)
inline constexpr PathStyle NATIVE_PATH_STYLE = PathStyle::windows;
#else
inline constexpr PathStyle NATIVE_PATH_STYLE = PathStyle::posix;
#endif

template <class C>
constexpr bool is_path_separator(C c, PathStyle style) {
    return c == C('/') || (style == PathStyle::windows && c == C('\\'));
}

template <class C>
constexpr C preferred_separator(PathStyle style) {
    return style == PathStyle::windows ? C('\\') : C('/');
}

// `left` and `right` with the preferred separator between them, unless `left`
// already ends in a separator (or is empty).
template <class C>
std::basic_string<C> join_path(std::basic_string_view<C> left, std::basic_string_view<C> right,
                               PathStyle style) {
    std::basic_string<C> joined(left);
    if (!joined.empty() && !is_path_separator(joined.back(), style)) {
        joined.push_back(preferred_separator<C>(style));
    }
    joined.append(right);
    return joined;
}

namespace path_detail {

// Length of a non-empty component starting at `at`, or 0.
template <class C>
std::size_t component_length(std::basic_string_view<C> path, std::size_t at, PathStyle style) {
    std::size_t end = at;
    while (end < path.size() && !is_path_separator(path[end], style)) {
        ++end;
    }
    return end - at;
}

// True when `path[at]` is a separator: the root that must follow a prefix.
template <class C>
bool root_at(std::basic_string_view<C> path, std::size_t at, PathStyle style) {
    return at < path.size() && is_path_separator(path[at], style);
}

template <class C>
bool ascii_letter(C c) {
    return (c >= C('a') && c <= C('z')) || (c >= C('A') && c <= C('Z'));
}

template <class C>
bool unc_prefix_rooted(std::basic_string_view<C> path, std::size_t at, PathStyle style) {
    // server, separator, share, then the root separator
    const std::size_t server = component_length(path, at, style);
    if (server == 0 || !root_at(path, at + server, style)) {
        return false;
    }
    const std::size_t share_at = at + server + 1;
    const std::size_t share = component_length(path, share_at, style);
    return share != 0 && root_at(path, share_at + share, style);
}

}  // namespace path_detail

// Windows: a drive ("C:"), UNC ("\\server\share") or device ("\\?\...",
// "\\.\...") prefix followed by a root separator; "C:x" and "\x" are relative
// to a current drive or directory. POSIX: a leading slash.
template <class C>
bool is_absolute_path(std::basic_string_view<C> path, PathStyle style) {
    using namespace path_detail;
    if (style == PathStyle::posix) {
        return !path.empty() && path[0] == C('/');
    }
    if (path.size() >= 3 && ascii_letter(path[0]) && path[1] == C(':')) {
        return is_path_separator(path[2], style);
    }
    if (path.size() < 2 || !is_path_separator(path[0], style) ||
        !is_path_separator(path[1], style)) {
        return false;
    }
    if (path.size() >= 4 && (path[2] == C('?') || path[2] == C('.')) &&
        is_path_separator(path[3], style)) {
        // "\\?\UNC\server\share\" names a share; any other device prefix is
        // one component ("\\?\C:", "\\.\pipe").
        const std::basic_string_view<C> rest = path.substr(4);
        if (rest.size() >= 4 && (rest[0] == C('U') || rest[0] == C('u')) &&
            (rest[1] == C('N') || rest[1] == C('n')) && (rest[2] == C('C') || rest[2] == C('c')) &&
            is_path_separator(rest[3], style)) {
            return unc_prefix_rooted(path, 8, style);
        }
        const std::size_t device = component_length(path, 4, style);
        return device != 0 && root_at(path, 4 + device, style);
    }
    return unc_prefix_rooted(path, 2, style);
}

// The path without its last component (trailing separators ignored), or
// nullopt when there is no separator left to cut at.
template <class C>
std::optional<std::basic_string<C>> parent_path(std::basic_string_view<C> path, PathStyle style) {
    std::size_t end = path.size();
    while (end > 0 && is_path_separator(path[end - 1], style)) {
        --end;
    }
    while (end > 0 && !is_path_separator(path[end - 1], style)) {
        --end;
    }
    if (end == 0) {
        return std::nullopt;
    }
    // Keep a root separator ("/", "C:\") but drop a separator between names.
    std::size_t cut = end;
    while (cut > 1 && is_path_separator(path[cut - 1], style) &&
           !(style == PathStyle::windows && cut >= 2 && path[cut - 2] == C(':'))) {
        --cut;
    }
    return std::basic_string<C>(path.substr(0, cut));
}

// The last component of the path (trailing separators ignored); empty when
// the path has none.
template <class C>
std::basic_string_view<C> last_component(std::basic_string_view<C> path, PathStyle style) {
    std::size_t end = path.size();
    while (end > 0 && is_path_separator(path[end - 1], style)) {
        --end;
    }
    std::size_t begin = end;
    while (begin > 0 && !is_path_separator(path[begin - 1], style)) {
        --begin;
    }
    return path.substr(begin, end - begin);
}

namespace path_detail {

// The components of an absolute path, compared the way the system names
// them: Windows' "\\?\" and "\\?\UNC\" prefixes dropped, runs of separators
// and "." ignored, ".." taking back the component before it, as Windows reads
// a path; letters folded to upper case on Windows (ASCII letters only: the
// paths compared come from the system, which spells one folder the same way
// each time).
template <class C>
std::vector<std::basic_string<C>> comparable_components(std::basic_string_view<C> path,
                                                        PathStyle style) {
    if (style == PathStyle::windows && path.size() >= 4 && is_path_separator(path[0], style) &&
        is_path_separator(path[1], style) && path[2] == C('?') &&
        is_path_separator(path[3], style)) {
        path.remove_prefix(4);
        if (path.size() >= 4 && (path[0] == C('U') || path[0] == C('u')) &&
            (path[1] == C('N') || path[1] == C('n')) && (path[2] == C('C') || path[2] == C('c')) &&
            is_path_separator(path[3], style)) {
            path.remove_prefix(4);
        }
    }
    std::vector<std::basic_string<C>> components;
    std::size_t at = 0;
    while (at < path.size()) {
        if (is_path_separator(path[at], style)) {
            ++at;
            continue;
        }
        const std::size_t length = component_length(path, at, style);
        std::basic_string<C> component(path.substr(at, length));
        at += length;
        if (component == std::basic_string<C>(1, C('.'))) {
            continue;
        }
        if (component == std::basic_string<C>(2, C('.'))) {
            if (!components.empty()) {
                components.pop_back();
            }
            continue;
        }
        if (style == PathStyle::windows) {
            for (C& c : component) {
                if (c >= C('a') && c <= C('z')) {
                    c = static_cast<C>(c - C('a') + C('A'));
                }
            }
        }
        components.push_back(std::move(component));
    }
    return components;
}

}  // namespace path_detail

// Whether `path` is `tree` itself or lies anywhere below it, component by
// component (so "C:\KAVO\Service2" is not within "C:\KAVO\Service"). Both
// are absolute paths as the system gives them; on Windows letter case does
// not count and a "\\?\" prefix may stand on either. A tree with no
// component (a bare root) holds nothing.
template <class C>
bool path_lies_within(std::basic_string_view<C> path, std::basic_string_view<C> tree,
                      PathStyle style) {
    const auto inside = path_detail::comparable_components(path, style);
    const auto top = path_detail::comparable_components(tree, style);
    if (top.empty() || inside.size() < top.size()) {
        return false;
    }
    for (std::size_t i = 0; i < top.size(); ++i) {
        if (inside[i] != top[i]) {
            return false;
        }
    }
    return true;
}

inline NativeString join_native(NativeView left, NativeView right) {
    return join_path(left, right, NATIVE_PATH_STYLE);
}

inline bool is_absolute_native(NativeView path) {
    return is_absolute_path(path, NATIVE_PATH_STYLE);
}

}  // namespace kavo

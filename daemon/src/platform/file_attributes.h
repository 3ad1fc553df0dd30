// Platform seam, pure: the link and directory rules over file attributes and
// reparse tags. Both backends report attributes in the Windows form, so one
// decision serves both (the Linux backend reports a symbolic link as a
// reparse point with the symbolic-link tag).
#pragma once

#include <cstdint>

namespace kavo {

inline constexpr std::uint32_t ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t ATTRIBUTE_NORMAL = 0x80;
inline constexpr std::uint32_t ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr std::uint32_t REPARSE_TAG_NAME_SURROGATE = 0x20000000;
inline constexpr std::uint32_t REPARSE_TAG_MOUNT_POINT = 0xA0000003;
inline constexpr std::uint32_t REPARSE_TAG_SYMLINK = 0xA000000C;

struct FileAttributes {
    std::uint32_t attributes = 0;
    // Meaningful only when ATTRIBUTE_REPARSE_POINT is set.
    std::uint32_t reparse_tag = 0;
};

// A symbolic link or a junction: a reparse point whose tag is a name surrogate.
constexpr bool is_link(FileAttributes a) {
    return (a.attributes & ATTRIBUTE_REPARSE_POINT) != 0 &&
           (a.reparse_tag & REPARSE_TAG_NAME_SURROGATE) != 0;
}

constexpr bool is_directory(FileAttributes a) {
    return (a.attributes & ATTRIBUTE_DIRECTORY) != 0 && !is_link(a);
}

// A reparse point that is not a link (a cloud placeholder, a deduplicated
// file): opened as the reparse point itself, its content may be the stub
// rather than the file, so it is read through a second, ordinary open of the
// same file.
constexpr bool needs_reopen_to_read(FileAttributes a) {
    return (a.attributes & ATTRIBUTE_REPARSE_POINT) != 0 && !is_link(a);
}

// Which file system object an open handle refers to: its volume and its file
// number there (Linux: the device and the inode). Two handles with the same
// identity refer to one object, whatever names led to it.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    friend constexpr bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

}  // namespace kavo

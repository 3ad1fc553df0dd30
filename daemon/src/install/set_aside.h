// Installation, driven: files of the installation's own that must outlive the
// removal of the tree they lie in. The uninstaller that an uninstall runs is
// usually the installed copy in the service root, and Windows renames the
// image file of a running program but does not delete it: a tree holding it
// cannot be removed. Such a file is moved out of the tree, on the same volume,
// into the install parent (the service's own protected directory) under a
// fresh name, and deleted when it is no longer needed: at once where the
// system allows, otherwise when the machine next starts.
#pragma once

#include <optional>
#include <string_view>
#include <utility>

#include "platform/fs.h"
#include "platform/native_string.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view SET_ASIDE_NOT_A_FILE = "Only a file is set aside";

// A file moved aside; deleted when the object goes. It is not held open in
// between: an open handle with the right to delete would make every open of
// the file that does not share deletion fail, and an install reads its files
// from here. The install parent is the service's own and nobody else can put
// a file there; the deletion checks that the file is still the one moved.
class SetAsideFile {
  public:
    explicit SetAsideFile(const HeldEntry& entry)
        : path_(entry.path()), identity_(entry.identity()) {}
    // The object moved from deletes nothing.
    SetAsideFile(SetAsideFile&& other) noexcept
        : path_(std::move(other.path_)),
          identity_(other.identity_),
          pending_(std::exchange(other.pending_, false)) {}
    SetAsideFile& operator=(SetAsideFile&&) = delete;
    SetAsideFile(const SetAsideFile&) = delete;
    SetAsideFile& operator=(const SetAsideFile&) = delete;
    ~SetAsideFile() { discard(); }

    // Where the file is now.
    const NativeString& path() const { return path_; }

    // Deletes the file now or, where the system refuses (the image of a
    // program that still runs), at the next start; best effort, and only
    // once.
    void discard();

  private:
    NativeString path_;
    FileIdentity identity_;
    bool pending_ = true;
};

// Whether `file` lies in `tree` (or is `tree`), decided from the paths the
// system resolves both to, so that letter case, short names and links on the
// way do not hide it; a path that cannot be resolved is taken as given.
bool file_lies_within(const NativeString& file, const NativeString& tree);

// Moves the file at `file` into `install_parent` as set_aside_name of its
// own name and a fresh identifier. Only a file is moved, never a link or a
// directory; another volume fails rather than copies.
Result<SetAsideFile> set_aside(const NativeString& file, const NativeString& install_parent);

// Deletes what earlier removals set aside in `install_parent` and is no
// longer in use. Whatever cannot be deleted yet stays, silently, for a later
// sweep or the next start.
void sweep_set_aside_files(const NativeString& install_parent);

}  // namespace kavo

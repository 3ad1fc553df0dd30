// Platform seam: the file system. Attributes are always read without following
// the last link; directories are never entered through links or junctions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The attributes of the entry itself (an lstat; FILE_FLAG_OPEN_REPARSE_POINT).
OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path);

// The size of a file, following links.
OsResult<std::uint64_t> file_size(const NativeString& path);

// Renames `from` to `to`, replacing an existing file at `to`.
OsResult<void> rename_replace(const NativeString& from, const NativeString& to);

// Deletes one file (or a link itself, never its target).
OsResult<void> remove_file(const NativeString& path);

// The attributes of what the path finally names, following links.
OsResult<FileAttributes> read_attributes_following(const NativeString& path);

// One entry of a directory listing: its name, or the error that kept it from
// being read (the listing ends after such an entry).
using DirectoryEntry = OsResult<NativeString>;

// The entries of a directory, never "." or "..". A missing directory fails
// with OsErrorKind::not_found. The directory itself is not entered when it is
// a link (on Linux; on Windows callers check before listing).
OsResult<std::vector<DirectoryEntry>> list_directory(const NativeString& path);

// Removes `path` and, if it is a directory, everything below it, depth first.
// Links and junctions met anywhere, `path` included, are removed as links;
// their targets are never entered. Each directory is secured as
// TreeEntry::protect does before it is listed, so that nobody else can add to it or swap what is
// in it while it is emptied. A missing `path` fails with
// OsErrorKind::not_found; entries that vanish meanwhile are not an error.
OsResult<void> remove_tree(const NativeString& path);

// Creates one directory; its parent must exist and the path must not. It
// takes the access its parent hands down: for places others may use (the
// configured core directory), never for the service's own tree.
OsResult<void> create_directory(const NativeString& path);

// Creates one directory of the service's own tree, protected in the creating
// call itself, so that it is never open to anybody else for a moment:
// Windows: owner Administrators (the creator's own default owner where the
// system refuses that), access list "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Linux: mode 0700, owned by whoever creates it. Its parent must exist and the
// path must not: an existing entry is never taken over.
OsResult<void> create_protected_directory(const NativeString& path);

// create_protected_directory with every missing parent, each created
// protected; existing directories (or links to them) on the way are used as
// they are, and the last one may exist already.
OsResult<void> create_protected_directories(const NativeString& path);

// Removes an empty directory, or a directory link or junction itself.
OsResult<void> remove_empty_directory(const NativeString& path);

// Creates a directory with every missing parent; an existing directory (or a
// link to one) is fine.
OsResult<void> create_directories(const NativeString& path);

// Renames a directory; fails if `to` exists.
OsResult<void> rename_directory(const NativeString& from, const NativeString& to);

// Why a protection failed: the access list could not be built, or it could not
// be written to the path.
enum class ProtectStage {
    prepare,
    protect,
};

struct ProtectError {
    ProtectStage stage = ProtectStage::protect;
    OsError error;
};

// One entry of a tree that is being protected or removed, held open from the
// moment it is looked at, so that what was checked is what is changed.
//
// Linux: a descriptor opened without following a link; owner and mode are set
// through it and children are opened relative to it, so a directory swapped
// for a link after it was opened is never followed.
// Windows: a directory is held open in a way that keeps it from being renamed
// or deleted (no delete sharing), which pins its name to it while it is
// secured, listed and walked below; the names below resolve through pinned,
// secured directories only.
class TreeEntry {
  public:
    // The entry at `path` itself: a link is opened as the link. A missing path
    // fails with OsErrorKind::not_found.
    static OsResult<TreeEntry> open(const NativeString& path);

    TreeEntry(TreeEntry&&) noexcept;
    TreeEntry& operator=(TreeEntry&&) noexcept;
    ~TreeEntry();

    // The entry's attributes, from the opened entry.
    FileAttributes attributes() const { return attributes_; }
    // Which object was opened.
    FileIdentity identity() const { return identity_; }
    const NativeString& path() const { return path_; }

    // The entry `name` of this directory, opened the same way.
    OsResult<TreeEntry> open_child(const NativeString& name) const;
    // Restricts this entry to LocalSystem and Administrators, through a
    // handle of the object that was opened (never by its name again). First
    // the owner: an owner can always rewrite the access list, so unless
    // LocalSystem or the Administrators group owns the entry (Linux: root),
    // Administrators (Linux: uid 0, gid 0) become its owner. Then the access
    // list of a file or of a directory as the entry is one. Windows: the
    // protected DACL (inherited by a directory's future contents); Linux: mode
    // 0600 or 0700. A link fails with ProtectStage::protect.
    Result<void, ProtectError> protect() const;
    // The names in this directory, as list_directory gives them.
    OsResult<std::vector<DirectoryEntry>> list() const;
    // Deletes this directory's entry `name`, which `child` holds open (it is
    // closed first): a file or a link is deleted itself, a directory must be
    // empty.
    OsResult<void> remove_child(const NativeString& name, TreeEntry child) const;

    // Lets go of the entry; afterwards only attributes() and path() may be
    // used.
    void close();

    struct Impl;

  private:
    TreeEntry(std::unique_ptr<Impl> impl, NativeString path, FileAttributes attributes,
              FileIdentity identity);
    std::unique_ptr<Impl> impl_;
    NativeString path_;
    FileAttributes attributes_;
    FileIdentity identity_;
};

// An entry that somebody else may have made or changed, held open so that
// whatever is decided from it (its kind, its owner, which object it is) is
// done to that very object: moving it aside under another name, or deleting
// it. A link at the path is opened as the link itself.
//
// Windows: one handle with the right to delete (and, where granted, to read
// the owner), shared with everybody, so holding it keeps nobody out. A
// rename or deletion goes through that handle.
// Linux: the entry's directory is held open and the entry is looked at
// relative to it; a rename or deletion first checks that the name still
// leads to the object that was looked at.
class HeldEntry {
  public:
    // A missing path fails with OsErrorKind::not_found.
    static OsResult<HeldEntry> open(const NativeString& path);

    HeldEntry(HeldEntry&&) noexcept;
    HeldEntry& operator=(HeldEntry&&) noexcept;
    ~HeldEntry();

    FileAttributes attributes() const { return attributes_; }
    FileIdentity identity() const { return identity_; }
    const NativeString& path() const { return path_; }
    // Whether LocalSystem or the Administrators group owns the entry (Linux:
    // root). False when its owner cannot be read. Wine keeps no owners and
    // reports its own user as the owner of everything, which counts as
    // privileged there.
    bool owned_by_system() const { return owned_by_system_; }

    // Renames the entry, within the directory it is in, to `new_name`; fails
    // when that name exists. Afterwards the entry's path is the new one.
    OsResult<void> rename_within_directory(NativeView new_name);
    // Moves the entry to `target`, a full path on the same volume whose
    // directory exists: a rename, never a copy, and it fails when `target`
    // exists. Windows renames the image file of a running program this way,
    // though it refuses to delete it. Afterwards the entry's path is `target`.
    OsResult<void> move_to(const NativeString& target);
    // Deletes the entry (a file, a link, or an empty directory), read-only or
    // not. The entry is let go of afterwards.
    OsResult<void> remove();

    struct Impl;

  private:
    HeldEntry(std::unique_ptr<Impl> impl, NativeString path, FileAttributes attributes,
              FileIdentity identity, bool owned_by_system);
    std::unique_ptr<Impl> impl_;
    NativeString path_;
    FileAttributes attributes_;
    FileIdentity identity_;
    bool owned_by_system_ = false;
};

// remove_tree on an entry that is already held open: a directory is emptied
// and removed, a file or a link is removed itself.
OsResult<void> remove_tree(TreeEntry top);

// Asks the system to delete the file at `path` when the machine next starts.
// Windows: MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT, which needs
// administrative rights. Linux deletes a running program's file at once and
// keeps no such list, so this always fails there.
OsResult<void> remove_file_at_restart(const NativeString& path);

// The path by which the system itself names the object at `path`: links and
// junctions on the way followed, short names made long, letters in the case
// they are stored in. Windows: GetFinalPathNameByHandleW, in its "\\?\"
// form; Linux: realpath. A missing path fails with OsErrorKind::not_found.
OsResult<NativeString> resolved_path(const NativeString& path);

// Writes `bytes` as the whole content of the file at `path`, creating it or
// truncating it. The file is new to the caller's own directory: on Linux a
// link at `path` fails the open rather than being followed.
OsResult<void> write_whole_file(const NativeString& path, std::string_view bytes);

// The protection of the entry at `path` (a link at `path` is read itself, not
// followed), as text, so that what TreeEntry::protect wrote can be checked.
struct PathProtection {
    // Windows: the owner in SDDL form ("O:BA"). Linux: the owner's uid.
    std::string owner;
    // Windows: the DACL in SDDL form ("D:P(A;;FA;;;SY)..."). Linux: the
    // permission bits as four octal digits ("0600").
    std::string access;
};
OsResult<PathProtection> read_protection(const NativeString& path);

}  // namespace kavo

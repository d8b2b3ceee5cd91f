// Files and folders, written once for every platform folder and tool.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/Expected.h"
#include "platform/posix/UniqueFd.h"

namespace posix {

// The folder `path` names an entry of: "." for a bare name, "/" for an entry of the root.
std::string folderOf(const std::string& path);

// The running executable's path, as the kernel names it (links resolved); nothing when unknown.
std::optional<std::string> executablePath();

// A user id written as plain decimal digits (an environment variable's, such as PKEXEC_UID);
// nothing for anything else, an empty text or the invalid id -1.
std::optional<uid_t> parseUid(const char* text);

// The user a run acts for: when this process is root, the one who asked for administrator rights
// (PKEXEC_UID, then SUDO_UID), else this process's own real user.
uid_t actingUser();

// Makes `folder` and each missing folder above it with exactly `mode` (the umask does not apply);
// folders that exist are left as they are. Fails when a component exists and is not a folder
// (ENOTDIR) or a folder cannot be made.
Expected<void> createFolders(const std::string& folder, mode_t mode);

// Whose `folder` is: its owner when it exists (a link's own owner, not its target's), else the
// owner of the nearest folder above it that exists, the user a new folder would be made inside.
// Nothing when that cannot be told.
std::optional<uid_t> folderOwner(const std::string& folder);

// createFolders(folder, 0700) for this process's real user alone: refused when folderOwner names
// another user (a HOME that sudo kept, say), so nothing is made in another user's tree, and
// unless the result is a folder (not a link) of the real user's.
Expected<void> createOwnFolder(const std::string& folder);

// Replaces `path` with `bytes` so that a reader, or a crash at any moment, finds the old content
// or the new, never a mix: a temporary file beside `path` is written, synced, given exactly `mode`
// and renamed over `path`, then the folder is synced so the rename itself is durable. The folder
// must exist. On a failure before the rename the temporary file is removed and `path` is untouched;
// a failure of the final folder sync is reported although the new content is in place.
Expected<void> writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Waits for an exclusive flock(2) on `path`, opened with `flags` (close-on-exec added; with O_CREAT,
// made with `mode`). The lock is held while the descriptor stays open, and ends with it, also when
// the process dies. The error names the call that failed, "open" or "flock".
//
//   posix::Expected<posix::UniqueFd> lock = posix::lockFile(dir + "/state.lock", O_RDWR | O_CREAT, 0644);
Expected<UniqueFd> lockFile(const std::string& path, int flags, mode_t mode = 0);

// What readFile takes for the file. A file that someone else could have put in place (in a folder
// of the user's that another process of theirs writes) is read only as `regularFile`: a link is
// refused (ELOOP) and so is anything but a regular file (EINVAL), a FIFO without ever blocking.
enum class FileKind { any, regularFile };

// The whole content of `path`, read to its end. The error when it cannot be opened or read: ENOENT
// for a missing file, EFBIG when it holds more than `limit` bytes (what a caller knows to be small
// must not make it take in an endless /dev/zero).
Expected<std::string> readFile(const std::string& path, size_t limit = std::numeric_limits<size_t>::max(),
                               FileKind kind = FileKind::any);

// The first line of `path` without its line feed (the whole content when it has none), read no
// further than that. Errors as for readFile, also EFBIG when the line is longer than `limit`.
Expected<std::string> readFirstLine(const std::string& path, size_t limit = 64 * 1024);

}  // namespace posix

#ifndef OSTREL_SETUP_FILES_H_
#define OSTREL_SETUP_FILES_H_

// The few file-system operations the setup tool needs. Failures come back as
// a sentence naming the path and the system's reason; nothing throws. Every
// descriptor opened here is close-on-exec and closed before returning.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "validation.h"

namespace ostrel::setup {

enum class FileState {
  kMissing,
  kPresent,
  kUnreadable,  // it is there, but opening or reading it failed
  kNotRegular,  // a folder, a FIFO, a device, a socket: never read
  kTooLarge,    // over the bound: read no further
  kSteered,     // run as root, another user could choose it: not read
};

struct FileContents {
  FileState state = FileState::kMissing;
  std::string text;    // the whole file when present
  std::string reason;  // why it could not be read, in words, for every other state
};

// The most readWholeFile reads by default: more than any manifest,
// profile or policy file a browser writes, and little enough that a file
// planted to exhaust memory cannot.
inline constexpr std::size_t kMaxFileBytes = std::size_t{16} << 20;

// Reads the regular file at `path` (links followed) up to `bound` bytes.
// It is opened without blocking and without becoming a controlling
// terminal, and checked on the opened descriptor to be a regular file
// before a byte is read, so a FIFO, a device or a terminal named there
// never blocks or feeds the reader. Run as root, a file that another user
// could choose (a folder or link of theirs on the way, as
// tools/common/trusted_path.h walks) is kSteered, and not read.
FileContents readWholeFile(const std::string& path, std::size_t bound = kMaxFileBytes);

// True for every state in which the file is there but its text is not.
inline bool isUnusable(FileState state) {
  return state != FileState::kMissing && state != FileState::kPresent;
}

// Writes act for the user running the tool: every folder on the way is
// walked as tools/common/trusted_path.h says (owned by this user or root,
// no link another user owns followed), and the files written or replaced
// must be this user's.

// Creates `path` and any missing parents with exactly `mode` (whatever the
// umask), and appends each folder it created to `created`, outermost first.
Problem makeDirectories(const std::string& path, mode_t mode, std::vector<std::string>& created);

// What a write at `path` would replace, found without writing: the file at
// the end of the links this user owns, read up to kLargestManaged bytes
// without blocking.
struct WriteTarget {
  FileContents contents;            // kUnreadable with a reason when it may not be written
  std::string path;                 // where the write lands
  std::optional<std::string> link;  // the link at `path` that leads there
};
inline constexpr std::size_t kLargestManaged = 1 << 20;
WriteTarget examineForWrite(const std::string& path);

// Replaces `path` with `contents` so that a reader sees either the old file
// or the whole new one, never a part: a temporary file in the same folder,
// flushed to disk and renamed over `path`, in the folder that was checked.
// The result has `mode`. The temporary file is removed again when anything
// fails. A link at `path` is replaced, never followed: give the path
// examineForWrite() found.
Problem writeFileAtomically(const std::string& path, std::string_view contents, mode_t mode = 0644);

// Remove the entry itself (a link, not what it leads to), in a checked
// folder.
Problem removeFile(const std::string& path);
Problem removeFolder(const std::string& path);
// Removes the folder when it is empty: true when it did, false when the
// folder holds something or is not there.
struct FolderRemoval {
  bool removed = false;
  Problem problem;
};
FolderRemoval removeFolderIfEmpty(const std::string& path);

bool isDirectory(const std::string& path);
// Whether `path` itself (not followed) is a symbolic link.
bool isSymbolicLink(const std::string& path);

// `folder` + "/" + `name`, without doubling the slash.
std::string joinPath(const std::string& folder, std::string_view name);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_FILES_H_

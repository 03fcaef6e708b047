#ifndef OSTREL_SETUP_FILES_H_
#define OSTREL_SETUP_FILES_H_

// The few file-system operations the setup tool needs. Failures come back as
// a sentence naming the path and the system's reason; nothing throws. Every
// descriptor opened here is close-on-exec and closed before returning.

#include <optional>
#include <string>
#include <string_view>

#include "validation.h"

namespace ostrel::setup {

enum class FileState { kMissing, kPresent, kUnreadable };

struct FileContents {
  FileState state = FileState::kMissing;
  std::string text;    // the whole file when present
  std::string reason;  // why it could not be read
};

FileContents readWholeFile(const std::string& path);

// Creates `path` and any missing parents with mode 0755.
Problem makeDirectories(const std::string& path);

// Replaces `path` with `contents` so that a reader sees either the old file
// or the whole new one, never a part: a temporary file in the same folder,
// flushed to disk and renamed over `path`. The result has mode 0644. The
// temporary file is removed again when anything fails.
Problem writeFileAtomically(const std::string& path, std::string_view contents);

Problem removeFile(const std::string& path);

bool isDirectory(const std::string& path);

// The folder part of `path` ("/a/b" for "/a/b/c"; "/" for "/c").
std::string parentFolder(const std::string& path);

// `folder` + "/" + `name`, without doubling the slash.
std::string joinPath(const std::string& folder, std::string_view name);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_FILES_H_

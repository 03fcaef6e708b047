#ifndef OSTREL_TOOLS_COMMON_LOG_FILE_H_
#define OSTREL_TOOLS_COMMON_LOG_FILE_H_

// Opening the file a trace is appended to, for the user running the
// program, so that nobody else can read the trace or point it elsewhere:
// the folders on the way are walked as trusted_path.h says, the last name
// is opened without following a link and without blocking (a FIFO or a
// terminal nobody reads never holds the opener), and what was opened is
// checked on its descriptor. A regular file owned by this user is made
// 0600 (a new one is created so); a terminal owned by this user is taken
// as it is. Anything else is refused.

#include <string>

#include "tools/common/trusted_path.h"

namespace ostrel::common {

struct OpenedLog {
  Descriptor fd;         // open for appending, non-blocking, close-on-exec
  bool created = false;  // the file did not exist before
  bool terminal = false;
  std::string path;     // where it was opened, folders' links followed
  std::string problem;  // why it was not opened; empty otherwise
};

OpenedLog openLog(const std::string& path);

}  // namespace ostrel::common

#endif  // OSTREL_TOOLS_COMMON_LOG_FILE_H_

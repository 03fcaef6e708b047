#ifndef OSTREL_PEERS_TEMP_DIR_H_
#define OSTREL_PEERS_TEMP_DIR_H_

// A fresh private folder in the temporary folder, removed with everything
// in it when the object goes. path() is empty when none could be made, and
// holds no symbolic link (on macOS it lies in /private/tmp, not /tmp).

#include <string>

namespace ostrel::peers {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_TEMP_DIR_H_

#ifndef OSTREL_BENCH_CHILD_H_
#define OSTREL_BENCH_CHILD_H_

// One contestant running as a child process, its standard streams on pipes:
// blocking input and output for the measuring threads, standard error kept
// to be shown afterwards. Ending it closes its input, as a browser does, and
// kills it only when it does not exit in time.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ostrel::bench {

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  bool started() const { return pid_ > 0; }
  const std::string& startError() const { return startError_; }
  pid_t pid() const { return pid_; }
  int input() const { return input_; }
  int output() const { return output_; }

  // Closes its input and waits up to 5 s for it to exit (then kills it).
  // The wait status, or nothing if it had to be killed.
  std::optional<int> finish();

  // What it wrote to standard error so far.
  std::string errors();

  void kill();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string startError_;
  std::string errorText_;
};

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_CHILD_H_

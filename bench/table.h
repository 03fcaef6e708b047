#ifndef OSTREL_BENCH_TABLE_H_
#define OSTREL_BENCH_TABLE_H_

// The benchmark's result table: one row per measure, the medians of each
// contestant, the host's ratio to its rival and whether the target holds.
// Formatting only.

#include <optional>
#include <string>
#include <vector>

namespace ostrel::bench {

struct Row {
  std::string measure;
  std::string unit;
  std::optional<double> host, socat, socatBig, floor;
  std::optional<double> ratio;  // host against the rival named in `target`
  std::string target;           // "" when there is none
  std::optional<bool> met;
  std::optional<double> before = std::nullopt;  // the earlier build of the host, when measured
};

// `withBefore`: a column for the earlier build of the host.
std::string formatTable(const std::vector<Row>& rows, bool withBefore);

}  // namespace ostrel::bench

#endif  // OSTREL_BENCH_TABLE_H_

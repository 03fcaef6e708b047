#include "table.h"

#include <cmath>
#include <cstdio>

namespace ostrel::bench {
namespace {

std::string number(const std::optional<double>& value) {
  if (!value || std::isnan(*value)) return "-";
  char text[32];
  const double v = *value;
  const char* format = v >= 1000 ? "%.0f" : v >= 100 ? "%.1f" : v >= 10 ? "%.2f" : "%.3f";
  if (v == std::floor(v) && v < 1000) format = "%.0f";
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string ratio(const std::optional<double>& value) {
  if (!value || std::isnan(*value)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2fx", *value);
  return text;
}

std::string cell(const std::string& text, int width) {
  char out[128];
  std::snprintf(out, sizeof out, "%-*s", width, text.c_str());
  return out;
}

std::string rightCell(const std::string& text, int width) {
  char out[128];
  std::snprintf(out, sizeof out, "%*s", width, text.c_str());
  return out;
}

}  // namespace

std::string formatTable(const std::vector<Row>& rows, bool withBefore) {
  std::string out = cell("measure", 40) + cell("unit", 7) + rightCell("host", 10) +
                    (withBefore ? rightCell("before", 10) : "") + rightCell("socat", 10) +
                    rightCell("socat-64k", 11) + rightCell("floor", 9) + rightCell("ratio", 8) +
                    "  " + cell("target", 24) + "result\n";
  out += std::string(withBefore ? 137 : 127, '-') + "\n";
  for (const Row& row : rows) {
    out += cell(row.measure, 40) + cell(row.unit, 7) + rightCell(number(row.host), 10) +
           (withBefore ? rightCell(number(row.before), 10) : "") +
           rightCell(number(row.socat), 10) + rightCell(number(row.socatBig), 11) +
           rightCell(number(row.floor), 9) + rightCell(ratio(row.ratio), 8) + "  " +
           cell(row.target, 24) + (row.met ? (*row.met ? "met" : "MISSED") : "") + "\n";
  }
  return out;
}

}  // namespace ostrel::bench

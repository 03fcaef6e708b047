#include "clock_text.h"

#include <cstdio>
#include <ctime>

namespace ostrel::standins {

std::string clockText(std::chrono::system_clock::time_point when) {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  using std::chrono::system_clock;
  const std::time_t seconds = system_clock::to_time_t(when);
  const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis < 0 ? millis + 1000 : millis));
  return text;
}

std::string clockTextNow() { return clockText(std::chrono::system_clock::now()); }

}  // namespace ostrel::standins

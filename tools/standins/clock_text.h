#ifndef OSTREL_TOOLS_STANDINS_CLOCK_TEXT_H_
#define OSTREL_TOOLS_STANDINS_CLOCK_TEXT_H_

// Wall-clock timestamps for the stand-in tools' output, local time with
// milliseconds ("14:03:27.015"), so that lines printed by both tools side by
// side can be lined up. Does no time zone handling beyond localtime_r.

#include <chrono>
#include <string>

namespace ostrel::standins {

std::string clockText(std::chrono::system_clock::time_point when);
std::string clockTextNow();

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_CLOCK_TEXT_H_

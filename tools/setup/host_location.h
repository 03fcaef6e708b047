#ifndef OSTREL_SETUP_HOST_LOCATION_H_
#define OSTREL_SETUP_HOST_LOCATION_H_

// Whether a host path will still be there after the next reboot. On macOS
// an application opened in place after unzipping runs from a translocated
// copy (.../AppTranslocation/<id>/d/Ostrel.app), and one opened from a
// disk image from /Volumes/...: a manifest naming such a path breaks once
// the image is ejected or the system restarts. Likewise whether a home
// folder is one that browsers read. Judged from the paths' text alone;
// nothing is looked up on disk.

#include <string_view>

#include "platform.h"
#include "validation.h"

namespace ostrel::setup {

// Nothing for a lasting place (always on Linux); otherwise why the path
// cannot be registered, and that the application must be moved first.
Problem checkLastingHostLocation(std::string_view path, Platform platform);

// Nothing unless, on macOS, `home` lies in an application's sandbox
// container (~/Library/Containers/<id>/Data), the home of every process a
// sandboxed application starts; then why nothing may be registered there.
Problem checkHomeOutsideSandbox(std::string_view home, Platform platform);

}  // namespace ostrel::setup

#endif  // OSTREL_SETUP_HOST_LOCATION_H_

#include "command_line.h"

namespace ostrel::standins {

std::vector<std::string> parseCommandLine(const std::string& program, int argc, char** argv,
                                          const char* shortOptions, const option* longOptions,
                                          const std::function<bool(int, const std::string&)>& take,
                                          bool& ok) {
  // getopt names the program by argv[0] and may reorder the array: give it
  // a copy that starts with the tool's name.
  std::string name = program;
  std::vector<char*> args(argv, argv + argc);
  args[0] = name.data();
  args.push_back(nullptr);
  opterr = 1;
  optind = 1;
  ok = true;
  int option;
  while ((option = ::getopt_long(argc, args.data(), shortOptions, longOptions, nullptr)) != -1) {
    if (option == '?' || option == ':' || !take(option, optarg != nullptr ? optarg : "")) {
      ok = false;
      return {};
    }
  }
  return {args.begin() + optind, args.begin() + argc};
}

}  // namespace ostrel::standins

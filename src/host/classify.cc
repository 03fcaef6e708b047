#include "host/classify.h"

#include <dlfcn.h>

#include <vector>

#include "host/type_parser.h"
#include "platform/executable_path.h"

namespace ostrel {
namespace {

static_assert(kPayloadPadding >= 64, "the parser module reads up to 64 bytes past a payload");

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Beside the executable, in the installed library folder relative to it,
// then where this build installs and builds the module.
std::vector<std::string> moduleCandidates(const std::optional<std::string>& executable) {
  std::vector<std::string> candidates;
  if (executable) {
    const std::string dir = directoryOf(*executable);
    candidates.emplace_back(dir + "/" OSTREL_TYPE_PARSER_NAME);
    candidates.emplace_back(dir + "/" OSTREL_TYPE_PARSER_RELATIVE_DIR "/" OSTREL_TYPE_PARSER_NAME);
  }
  candidates.emplace_back(OSTREL_TYPE_PARSER_INSTALLED);
  candidates.emplace_back(OSTREL_TYPE_PARSER_BUILT);
  return candidates;
}

OstrelMessageTypeFunction loadParser(const std::optional<std::string>& executable) {
  for (const std::string& path : moduleCandidates(executable)) {
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) continue;
    if (void* symbol = ::dlsym(module, OSTREL_MESSAGE_TYPE_SYMBOL)) {
      return reinterpret_cast<OstrelMessageTypeFunction>(symbol);
    }
    ::dlclose(module);
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> messageType(const Payload& payload) {
  static const OstrelMessageTypeFunction parse = loadParser(executablePath());
  if (parse == nullptr) return std::nullopt;
  const char* type = nullptr;
  std::size_t length = 0;
  if (parse(payload.data(), payload.size(), &type, &length) == 0) return std::nullopt;
  return std::string(type, length);
}

bool typeParserAvailable() {
  Payload probe = Payload::copyOf(std::string_view(R"({"type":"x"})"));
  return messageType(probe).has_value();
}

bool typeParserLoadableFor(const std::string& executable) {
  return loadParser(executable) != nullptr;
}

}  // namespace ostrel

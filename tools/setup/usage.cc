#include "usage.h"

#include "browsers.h"

namespace ostrel::setup {
namespace {

constexpr std::string_view kUsage = R"(Usage: ostrel-native-host-setup COMMAND [OPTIONS]

Registers ostrel-native-host with web browsers, so that an extension can
reach the desktop application through it.

Commands:
  install     write the host's manifest for the browsers named
  uninstall   remove manifests this tool wrote (others are left alone)
  status      show which browsers have a manifest of the host
  doctor      read every manifest, policy and profile as the browsers read
              them, start the host as a browser would, and report what is
              wrong; with --browser and one --origin (or --extension-id),
              answer whether that extension will reach the application
  extension-id PATH
              print the Chromium extension id and origin of an unpacked
              extension (PATH its folder or manifest.json, which must hold
              a "key") or of a public key file (PEM or DER), and a Firefox
              add-on's id (browser_specific_settings.gecko.id)

Options:
  --browser NAME        @BROWSERS@ or all;
                        may be repeated (install needs it; others default to
                        all); install takes "all" to mean those that look
                        installed, and names the ones it skips
  --origin ORIGIN       chrome-extension://<32 letters a-p>/ allowed to connect
                        (Chromium family); may be repeated; doctor takes one
                        and answers for that extension
  --extension-id ID     Firefox add-on id allowed to connect; may be repeated;
                        doctor takes one and answers for that add-on
  --system              use the system-wide folders instead of per-user ones
  --user-data-dir DIR   a Chromium-family profile folder started with
                        --user-data-dir=DIR; its manifests live in
                        DIR/NativeMessagingHosts
  --host-path PATH      the host executable, which must answer as
                        ostrel-native-host does (default: ostrel-native-host
                        beside this tool)
  --name NAME           the host name (default: com.ostrel.native_host)
  --force               install over a manifest this tool did not write
  --trace FILE          register ostrel-native-host-tap in the host's place,
                        logging every frame to FILE (a file or a terminal);
                        install again without --trace to take it out
  --json                doctor: print the findings as one JSON document
  --help                show this text
  --version             show the version

--host-path, --force and --trace apply to install only; --origin and
--extension-id to install and doctor; --json to doctor.

Examples:
  ostrel-native-host-setup install --browser chromium \
      --origin chrome-extension://abcdefghijklmnopabcdefghijklmnop/
  ostrel-native-host-setup install --browser all \
      --origin chrome-extension://abcdefghijklmnopabcdefghijklmnop/ \
      --extension-id ostrel@example.org
  ostrel-native-host-setup install --browser chromium \
      --origin chrome-extension://abcdefghijklmnopabcdefghijklmnop/ \
      --trace "$HOME/ostrel-trace.log"
  ostrel-native-host-setup doctor
  ostrel-native-host-setup doctor --browser chromium \
      --origin chrome-extension://abcdefghijklmnopabcdefghijklmnop/
  ostrel-native-host-setup doctor --json
  ostrel-native-host-setup extension-id path/to/extension

Exit status:
  0 on success, 1 when something failed or doctor found a problem (warnings
  alone leave it 0; doctor with one extension: 0 for "yes:", 1 for "no:";
  status: when nothing is registered or a registration is broken), 2 when
  the command line is wrong.
)";

}  // namespace

std::string usageText() {
  std::string browsers;
  for (const Browser& browser : allBrowsers()) {
    browsers += (browsers.empty() ? "" : ", ") + std::string(browser.key);
  }
  std::string text(kUsage);
  const std::string_view placeholder = "@BROWSERS@";
  text.replace(text.find(placeholder), placeholder.size(), browsers);
  return text;
}

}  // namespace ostrel::setup

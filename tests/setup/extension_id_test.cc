// The extension id: SHA-256 against the standard's vectors, and the built
// tool's extension-id command against an id a browser confirms (the
// end-to-end extension's, which Chromium loads under that id) and against
// the same derivation done by openssl.

#include "extension_id.h"

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "sha256.h"
#include "test_home.h"

namespace ostrel::setup {
namespace {

std::string hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits in the first block.
  EXPECT_EQ(hex(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hex(sha256(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Base64, DecodesAndRefuses) {
  EXPECT_EQ(decodeBase64("aGVs\nbG8="), "hello");
  EXPECT_EQ(decodeBase64("aGk="), "hi");
  EXPECT_EQ(decodeBase64(""), "");
  for (const char* bad : {"a", "aGk=a", "a*b=", "aGl=", "aGk==="}) {
    EXPECT_FALSE(decodeBase64(bad)) << bad;
  }
}

class ExtensionIdTool : public TestHome {
 protected:
  // Runs `command` in a shell; its streams land in `output` and `errors`.
  int shell(const std::string& command) {
    std::string line = "(" + command + ") >" + home + "/out 2>" + home + "/err </dev/null";
    int status = std::system(line.c_str());  // NOLINT(cert-env33-c): a fixed test command
    output = read(home + "/out");
    errors = read(home + "/err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int tool(const std::string& path) {
    return shell(std::string(OSTREL_SETUP_TOOL) + " extension-id '" + path + "'");
  }
};

TEST_F(ExtensionIdTool, TheEndToEndExtensionGetsTheIdChromiumGivesIt) {
  const std::string expected =
      "id: gjmfcaghjdeioakbkgmilngmhhgghjel\n"
      "origin: chrome-extension://gjmfcaghjdeioakbkgmilngmhhgghjel/\n";
  for (const std::string path : {OSTREL_E2E_EXTENSION, OSTREL_E2E_EXTENSION "/manifest.json"}) {
    EXPECT_EQ(tool(path), 0) << errors;
    EXPECT_EQ(output, expected);
  }
}

TEST_F(ExtensionIdTool, AFirefoxAddOnGetsItsGeckoId) {
  EXPECT_EQ(tool(OSTREL_E2E_EXTENSION "/../firefox"), 0) << errors;
  EXPECT_EQ(output,
            "firefox id: end-to-end@ostrel.test (register it with --extension-id "
            "end-to-end@ostrel.test)\n");
}

TEST_F(ExtensionIdTool, AgreesWithOpensslForPemAndDerKeys) {
  const std::string key = home + "/key.pem";
  ASSERT_EQ(
      shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key +
            " && openssl pkey -in " + key + " -pubout -out " + home + "/pub.pem" +
            " && openssl pkey -in " + key + " -pubout -outform DER -out " + home + "/pub.der"),
      0)
      << errors;
  ASSERT_EQ(shell("openssl dgst -sha256 -binary " + home +
                  "/pub.der | head -c 16 | od -An -tx1 | tr -d ' \\n' | tr 0-9a-f a-p"),
            0)
      << errors;
  const std::string id = output;
  ASSERT_EQ(id.size(), 32U) << id << errors;
  for (const char* file : {"/pub.pem", "/pub.der"}) {
    EXPECT_EQ(tool(home + file), 0) << errors;
    EXPECT_EQ(output, "id: " + id + "\norigin: chrome-extension://" + id + "/\n");
  }
  // The base64 DER as an unpacked extension's "key".
  ASSERT_EQ(shell("base64 -w0 " + home + "/pub.der"), 0);
  writeFile("ext/manifest.json", R"({"manifest_version": 3, "key": ")" + output + "\"}");
  EXPECT_EQ(tool(home + "/ext"), 0) << errors;
  EXPECT_EQ(output, "id: " + id + "\norigin: chrome-extension://" + id + "/\n");

  EXPECT_EQ(tool(key), 1);
  EXPECT_NE(errors.find("holds a private key"), std::string::npos) << errors;
}

// The id without a build, as the README and the extension developers' page
// print it: each such command line, run on a new key, gives the tool's id.
TEST_F(ExtensionIdTool, TheDocumentedOpensslRecipeGivesTheSameId) {
  const std::string key = home + "/key.pem";
  const std::string pub = home + "/pub.pem";
  ASSERT_EQ(shell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key +
                  " && openssl pkey -in " + key + " -pubout -out " + pub),
            0)
      << errors;
  ASSERT_EQ(tool(pub), 0) << errors;
  const std::string expected = output.substr(0, output.find('\n'));
  if (shell("command -v sha256sum") != 0) GTEST_SKIP() << "no sha256sum here (a Mac has shasum)";
  int recipes = 0;
  for (const char* page : {OSTREL_README, OSTREL_EXTENSION_GUIDE}) {
    std::istringstream lines(read(page));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("| sha256sum | head -c32 | tr 0-9a-f a-p") == std::string::npos) continue;
      ++recipes;
      // The command as printed, the key file it names replaced by the test's.
      std::string command = line.substr(line.find_first_not_of(' '));
      command = command.substr(0, command.find("  #"));
      const std::size_t file = command.find("-in ") + 4;
      ASSERT_NE(file, std::string::npos + 4) << page << ": " << line;
      command.replace(file, command.find(' ', file) - file, pub);
      ASSERT_EQ(shell(command), 0) << command << ": " << errors;
      EXPECT_EQ("id: " + output, expected) << page << ": " << line;
    }
  }
  EXPECT_EQ(recipes, 2) << "one recipe in each page";
}

TEST_F(ExtensionIdTool, SaysWhyThereIsNoId) {
  writeFile("nokey/manifest.json", R"({"manifest_version": 3, "name": "x"})");
  writeFile("badkey/manifest.json", R"({"key": "not base64!"})");
  writeFile("text.txt", "hello");
  const struct {
    std::string path;
    std::string complaint;
  } cases[] = {
      {home + "/nokey", "has no \"key\""},
      {home + "/badkey", "is not base64"},
      {home + "/text.txt", "neither a manifest.json nor a public key"},
      {home + "/missing", "does not exist"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tool(c.path), 1) << c.path;
    EXPECT_EQ(output, "");
    EXPECT_NE(errors.find(c.complaint), std::string::npos) << errors;
  }
}

}  // namespace
}  // namespace ostrel::setup

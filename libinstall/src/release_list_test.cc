// Release lists: what the parser takes and every way it refuses a list, and
// files checked against their entries whole and as they stream past.
#include "libinstall/release_list.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

#include "hex_text.h"
#include "release_text.h"
#include "sha256.h"

namespace libinstall {
namespace {

SecretKey newKey() {
  SecretKey key;
  EXPECT_TRUE(key.generate());
  return key;
}

// `body` with a valid signature by `key` under it, whatever the body says:
// so a refusal below is the parser's, not the signature's.
std::string signBody(const std::string& body, const SecretKey& key) {
  unsigned char signature[crypto_sign_BYTES];
  std::array<unsigned char, 64> secret = key.signingKey();
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()),
                       body.size(), secret.data());
  return body + "signature: " + toHex(signature, sizeof signature) + "\n";
}

std::string head(const SecretKey& key, const std::string& number = "2") {
  return std::string(kReleaseFormatLine) + "\nkey: " +
         toHex(key.publicKey().bytes.data(), PackageKey::kSize) +
         "\nproduct: Korvanel\nrelease: " + number + "\ncreated: 1000\nexpires: 2000\n";
}

std::string fileLine(const std::string& kind, const std::string& name, const std::string& bytes,
                     const std::string& machine = "") {
  Digest digest = sha256(bytes.data(), bytes.size());
  return "file: " + kind + " " + std::to_string(bytes.size()) + " " +
         toHex(digest.data(), digest.size()) + " " + name +
         (machine.empty() ? "" : " " + machine) + "\n";
}

constexpr const char* kMachineA = "52:54:00:ab:cd:01";
constexpr const char* kMachineB = "52:54:00:ab:cd:02";

TEST(ReleaseList, WrittenListReadsBackAndChecksFiles) {
  SecretKey key = newKey();
  ReleaseList list;
  list.product = "Korvanel";
  list.number = 7;
  list.created = 1796791200;
  list.expires = 1799383200;
  std::string package(100000, 'p');
  std::string script = "echo hello\n";
  ReleaseFile file;
  file.name = "system.bdl";
  file.size = package.size();
  file.sha256 = sha256(package.data(), package.size());
  list.files.push_back(file);
  file.kind = ReleaseFileKind::script;
  file.name = "autorun.scr";
  file.size = script.size();
  file.sha256 = sha256(script.data(), script.size());
  list.files.push_back(file);

  ReleaseList read;
  std::string error;
  ASSERT_TRUE(read.parse(releaseListText(list, key), &key.publicKey(), &error)) << error;
  EXPECT_EQ(read.number, 7u);
  EXPECT_EQ(read.created, 1796791200);
  EXPECT_EQ(read.expires, 1799383200);
  EXPECT_EQ(read.signer, key.publicKey());
  ASSERT_EQ(read.files.size(), 2u);
  EXPECT_EQ(read.files[1].kind, ReleaseFileKind::script);

  EXPECT_TRUE(read.check("autorun.scr", script.data(), script.size(), &error)) << error;
  std::string changed = script;
  changed[0] = 'E';
  EXPECT_FALSE(read.check("autorun.scr", changed.data(), changed.size(), &error));
  EXPECT_NE(error.find("autorun.scr: SHA-256"), std::string::npos) << error;
  EXPECT_FALSE(read.check("autorun.scr", script.data(), script.size() - 1, &error));
  EXPECT_FALSE(read.check("other.scr", script.data(), script.size(), &error));
  EXPECT_EQ(error, "other.scr is not in release 7");

  // Streamed in pieces: the size is refused as soon as it is exceeded.
  ReleaseFileCheck stream(*read.find("system.bdl"));
  for (size_t at = 0; at < package.size(); at += 4076) {
    ASSERT_TRUE(stream.update(package.data() + at, std::min<size_t>(4076, package.size() - at)));
  }
  EXPECT_TRUE(stream.finish(&error)) << error;
  ReleaseFileCheck longer(*read.find("system.bdl"));
  EXPECT_TRUE(longer.update(package.data(), package.size()));
  EXPECT_FALSE(longer.update("x", 1));
}

// One name for two machines, each with its own bytes, beside files for every
// machine: each machine finds its own and the common ones, never the other's.
TEST(ReleaseList, EntriesOfOneMachineAreItsAloneAndReadBack) {
  SecretKey key = newKey();
  ReleaseList list;
  list.product = "Korvanel";
  list.number = 4;
  auto entry = [](const std::string& name, const std::string& bytes, const std::string& machine) {
    ReleaseFile file;
    file.kind = ReleaseFileKind::script;
    file.name = name;
    file.size = bytes.size();
    file.sha256 = sha256(bytes.data(), bytes.size());
    file.machine = machine;
    return file;
  };
  list.files = {entry("common.scr", "all\n", ""), entry("autorun.scr", "hostname a\n", kMachineA),
                entry("autorun.scr", "hostname b\n", kMachineB),
                entry("autorun.scr", "hostname any\n", "")};
  std::string text = releaseListText(list, key);
  EXPECT_NE(text.find(" autorun.scr 52:54:00:ab:cd:01\n"), std::string::npos) << text;

  ReleaseList read;
  std::string error;
  ASSERT_TRUE(read.parse(text, &key.publicKey(), &error)) << error;
  ASSERT_EQ(read.files.size(), 4u);
  EXPECT_EQ(read.files[2].machine, kMachineB);
  EXPECT_TRUE(read.check("autorun.scr", "hostname a\n", 11, &error, kMachineA)) << error;
  EXPECT_FALSE(read.check("autorun.scr", "hostname b\n", 11, &error, kMachineA));
  EXPECT_NE(error.find("SHA-256"), std::string::npos) << error;
  // A machine the list names nowhere takes the common entry, a named one
  // never does where it has its own.
  EXPECT_EQ(read.find("autorun.scr", "52:54:00:ab:cd:03"), &read.files[3]);
  EXPECT_EQ(read.find("autorun.scr"), &read.files[3]);
  EXPECT_FALSE(read.takes(read.files[3], kMachineA));
  EXPECT_TRUE(read.takes(read.files[1], kMachineA));
  EXPECT_FALSE(read.takes(read.files[2], kMachineA));
  EXPECT_EQ(read.find("common.scr", kMachineB), &read.files[0]);
  EXPECT_EQ(read.find("other.scr", kMachineB), nullptr);
}

TEST(ReleaseList, RefusesEveryMalformedOrUntrustedList) {
  SecretKey key = newKey();
  SecretKey other = newKey();
  const std::string good = head(key) + fileLine("package", "a.bdl", "aaa") +
                           fileLine("script", "b.scr", "bbb");
  std::string signedGood = signBody(good, key);
  std::string altered = signedGood;
  altered[altered.find("a.bdl") - 2] ^= 1;  // one digit of the digest
  std::string longName(kMaxReleaseFileName + 1, 'n');

  struct Case {
    const char* what;
    std::string text;
    const PackageKey* required;
    const char* error;  // a part of the message; null: accepted
  };
  const Case cases[] = {
      {"good", signedGood, &key.publicKey(), nullptr},
      {"good without a required key", signedGood, nullptr, nullptr},
      {"no files", signBody(head(key), key), &key.publicKey(), nullptr},
      {"another signer", signBody(head(other) + fileLine("package", "a.bdl", "aaa"), other), &key.publicKey(), "not with the required key"},
      {"altered after signing", altered, &key.publicKey(), "signature does not match"},
      {"signature of another key", signBody(good, other).replace(
                                       good.find("key: ") + 5, 64,
                                       toHex(key.publicKey().bytes.data(), 32)),
       &key.publicKey(), "signature does not match"},
      {"no signature", good, &key.publicKey(), "no signature"},
      {"cut in its last line", signedGood.substr(0, signedGood.size() - 1), &key.publicKey(),
       "no newline"},
      {"text after the signature", signedGood + "file: x\n", &key.publicKey(), "after the signature"},
      {"negative number", signBody(head(key, "-1"), key), nullptr, "bad release number"},
      {"leading zero", signBody(head(key, "02"), key), nullptr, "bad release number"},
      {"number past 64 bits", signBody(head(key, "18446744073709551616"), key), nullptr,
       "bad release number"},
      {"empty number", signBody(head(key, ""), key), nullptr, "bad release number"},
      {"duplicate names", signBody(good + fileLine("script", "a.bdl", "x"), key), nullptr,
       "\"a.bdl\" listed twice"},
      {"a file listed twice", signBody(good + fileLine("package", "a.bdl", "aaa"), key), nullptr,
       "\"a.bdl\" listed twice"},
      {"line too long", signBody(good + "file: package 1 " + std::string(300, 'a') + " x\n", key),
       nullptr, "line too long"},
      {"name too long", signBody(good + fileLine("package", longName, "x"), key), nullptr,
       "bad file entry"},
      {"name with a slash", signBody(good + fileLine("package", "etc/x.bdl", "x"), key), nullptr,
       "bad file entry"},
      {"unknown kind", signBody(good + fileLine("firmware", "x.bin", "x"), key), nullptr,
       "bad file entry"},
      {"short digest", signBody(good + "file: package 3 abcd x.bdl\n", key), nullptr,
       "bad file entry"},
      {"two spaces", signBody(good + "file: package  3 " + std::string(64, 'a') + " x.bdl\n", key),
       nullptr, "bad file entry"},
      {"expires before created",
       signBody(std::string(good).replace(good.find("expires: 2000"), 13, "expires: 999"), key),
       nullptr, "bad line"},
      {"another format", signBody("format: bdl-release 2\n" + good.substr(good.find('\n') + 1), key),
       nullptr, "not a release list"},
      {"lines out of order",
       signBody(std::string(good).replace(good.find("product"), 7, "produce"), key), nullptr,
       "bad line"},
      {"too large", std::string(kMaxReleaseListSize + 1, 'x'), nullptr, "larger than"},
      {"one name for two machines", signBody(good + fileLine("script", "c.scr", "1", kMachineA) +
                                                 fileLine("script", "c.scr", "2", kMachineB), key),
       nullptr, nullptr},
      {"one name twice for a machine", signBody(good + fileLine("script", "c.scr", "1", kMachineA) +
                                                    fileLine("script", "c.scr", "2", kMachineA), key),
       nullptr, "\"c.scr\" listed twice for 52:54:00:ab:cd:01"},
      {"a common name twice", signBody(good + fileLine("script", "b.scr", "1"), key), nullptr,
       "\"b.scr\" listed twice"},
      {"a common name also for a machine",
       signBody(good + fileLine("script", "b.scr", "1", kMachineA), key), nullptr, nullptr},
      {"machine in upper case", signBody(good + fileLine("script", "c.scr", "1", "52:54:00:AB:CD:01"), key),
       nullptr, "bad file entry"},
      {"machine cut short", signBody(good + fileLine("script", "c.scr", "1", "52:54:00:ab:cd"), key),
       nullptr, "bad file entry"},
      {"machine with dashes", signBody(good + fileLine("script", "c.scr", "1", "52-54-00-ab-cd-01"), key),
       nullptr, "bad file entry"},
      {"a sixth field", signBody(good + fileLine("script", "c.scr", "1", std::string(kMachineA) + " x"), key),
       nullptr, "bad file entry"},
  };
  for (const Case& c : cases) {
    ReleaseList list;
    std::string error;
    bool accepted = list.parse(c.text, c.required, &error);
    if (c.error == nullptr) {
      EXPECT_TRUE(accepted) << c.what << ": " << error;
      continue;
    }
    EXPECT_FALSE(accepted) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_TRUE(list.files.empty()) << c.what;
  }
}

}  // namespace
}  // namespace libinstall

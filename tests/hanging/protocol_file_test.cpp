// The user's protocol file: every problem once, with its line, and the rest used.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "hanging/HangingProtocol.h"
#include "hanging/UserPresets.h"
#include "support/paths.h"

namespace {

int CountLine(const hanging::TProtocolSet& set, int line) {
  int n = 0;
  for (const auto& p : set.problems) n += p.line == line;
  return n;
}

std::string Problems(const hanging::TProtocolSet& set) {
  std::string out;
  for (const auto& p : set.problems) out += hanging::ProblemText(p) + "\n";
  return out;
}

const hanging::TProtocol* Named(const hanging::TProtocolSet& set, const std::string& name) {
  for (const auto& p : set.protocols)
    if (p.name == name) return &p;
  return nullptr;
}

TEST(ProtocolFile, EachProblemOnceWithItsLineAndTheRestKept) {
  const std::string text =
      "{\"protocols\": [\n"                                                               // 1
      "  {\"name\": \"Good\", \"stages\": [{\"cells\": [{\"modality\": \"CT\"}]}]},\n"    // 2
      "  {\"name\": \"Unknown key\", \"colour\": \"red\",\n"                              // 3
      "   \"stages\": [{\"cells\": [{\"modality\": \"CT\", \"zoom\": 2}]}]},\n"           // 4
      "  {\"name\": \"Bad match\", \"match\": {\"studyDescription\": \"(chest\"},\n"      // 5
      "   \"stages\": [{\"cells\": [{}]}]},\n"                                            // 6
      "  {\"name\": \"Bad cell\", \"stages\": [{\"cells\": [\n"                           // 7
      "    {\"description\": \"[T2\"}, {\"modality\": \"MR\"}]}]},\n"                     // 8
      "  {\"name\": \"Too big\", \"stages\": [{\"rows\": 4, \"cols\": 4, \"cells\": [\n"  // 9
      "    {}, {}, {}, {}, {}, {}, {}, {}, {}, {}, {}]}]},\n"                             // 10
      "  {\"name\": \"Good\", \"stages\": [{\"cells\": [{}]}]},\n"                        // 11
      "  {\"stages\": [{\"cells\": [{}]}]},\n"                                            // 12
      "  {\"name\": \"Syntax\", \"stages\": [{\"cells\": [{\"role\": prior}]}]},\n"       // 13
      "  {\"name\": \"After\", \"stages\": [{\"cells\": [{}]}]}\n"                        // 14
      "]}\n";
  const auto set = hanging::ParseProtocols(text, "user.json");
  std::vector<std::string> names;
  for (const auto& p : set.protocols) names.push_back(p.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Good", "Unknown key", "Bad cell", "Too big", "After"}))
      << Problems(set);
  EXPECT_EQ(CountLine(set, 3), 1) << Problems(set);   // "colour"
  EXPECT_EQ(CountLine(set, 4), 1) << Problems(set);   // "zoom" in a cell
  EXPECT_EQ(CountLine(set, 5), 1) << Problems(set);   // the regex: protocol dropped
  EXPECT_EQ(CountLine(set, 8), 1) << Problems(set);   // the regex: cell kept empty
  EXPECT_EQ(CountLine(set, 9), 2) << Problems(set);   // rows and cols clamped
  EXPECT_EQ(CountLine(set, 10), 1) << Problems(set);  // cells past 3x3 dropped
  EXPECT_EQ(CountLine(set, 11), 1) << Problems(set);  // second "Good"
  EXPECT_EQ(CountLine(set, 12), 1) << Problems(set);  // no name
  EXPECT_EQ(CountLine(set, 13), 1) << Problems(set);  // syntax error
  EXPECT_EQ(set.problems.size(), 10u) << Problems(set);
  for (const auto& p : set.problems) EXPECT_EQ(p.file, "user.json");
  EXPECT_NE(Problems(set).find("user.json:13: syntax error"), std::string::npos) << Problems(set);

  const auto* badCell = Named(set, "Bad cell");
  ASSERT_TRUE(badCell);
  ASSERT_EQ(badCell->stages[0].cells.size(), 2u);
  EXPECT_TRUE(badCell->stages[0].cells[0].disabled);
  EXPECT_FALSE(badCell->stages[0].cells[1].disabled);
  const auto* big = Named(set, "Too big");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->stages[0].rows, 3);
  EXPECT_EQ(big->stages[0].cells.size(), 9u);
}

TEST(ProtocolFile, PathologicalPatternsAreRefusedNotRun) {
  for (const char* pattern : {"(a+)+$", "(a|aa)*b", ".*.*.*.*x", "(x*)*"}) {
    const std::string text = std::string(
                                 "{\"protocols\": [{\"name\": \"p\", \"stages\": [{\"cells\": "
                                 "[{\"description\": \"") +
                             pattern + "\"}]}]}]}";
    const auto set = hanging::ParseProtocols(text, "u");
    ASSERT_EQ(set.problems.size(), 1u) << pattern;
    EXPECT_TRUE(set.protocols.at(0).stages[0].cells[0].disabled) << pattern;
  }
  const auto ok = hanging::ParseProtocols(
      R"({"protocols": [{"name": "p", "stages": [{"cells": [{"description": "^(ax|tra).*t2"}]}]}]})",
      "u");
  EXPECT_TRUE(ok.problems.empty()) << Problems(ok);
}

class UserFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::TempDir("hanging_user_file");
    old_ = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (old_.empty()) {
      unsetenv("XDG_CONFIG_HOME");
    } else {
      setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    }
  }
  static void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_, old_;
};

TEST_F(UserFile, LivesUnderTheConfigFolderAndReplacesBuiltInsByName) {
  // A relative XDG_CONFIG_HOME is not a base directory: $HOME/.config is.
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  if (!home.empty()) {
    EXPECT_EQ(hanging::UserProtocolsPath(),
              home + "/.config/tavrolen-viewer/hanging-protocols.json");
  }
  setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  const std::string path = hanging::UserProtocolsPath();
  EXPECT_EQ(path, dir_ + "/tavrolen-viewer/hanging-protocols.json");
  EXPECT_EQ(hanging::UserPresetsPath(), dir_ + "/tavrolen-viewer/window-presets.json");
  // A missing file is no problem.
  auto set = hanging::LoadProtocols(path);
  EXPECT_TRUE(set.problems.empty());
  EXPECT_EQ(set.protocols.size(), hanging::BuiltInProtocols().protocols.size());
  Write(path, R"({"protocols": [{"name": "mr", "match": {"modality": "MR"},
    "stages": [{"cells": [{"modality": "MR", "preset": "Mine"}]}]}]})");
  set = hanging::LoadProtocols(path);
  EXPECT_TRUE(set.problems.empty());
  EXPECT_EQ(set.protocols.size(), hanging::BuiltInProtocols().protocols.size());
  EXPECT_EQ(set.protocols.front().name, "mr");
  EXPECT_EQ(set.protocols.front().source, path);
  for (const auto& p : set.protocols) EXPECT_NE(p.name, "MR");
  // A broken file: one message naming file and line; the built-ins stay.
  Write(path, "{\"protocols\": [\n  {\"name\": \"x\",, }\n]}");
  set = hanging::LoadProtocols(path);
  ASSERT_EQ(set.problems.size(), 1u);
  EXPECT_EQ(set.problems[0].file, path);
  EXPECT_EQ(set.problems[0].line, 2);
  EXPECT_EQ(set.protocols.size(), hanging::BuiltInProtocols().protocols.size());
}

TEST_F(UserFile, SavingKeepsTheUsersOtherProtocolsAndRefusesABrokenFile) {
  const std::string path = dir_ + "/sub/folder/protocols.json";
  const std::string one = R"({"name": "A", "stages": [{"cells": [{"modality": "CT"}]}]})";
  const std::string two = R"({"name": "B", "stages": [{"cells": [{"modality": "MR"}]}]})";
  std::string why;
  ASSERT_TRUE(hanging::SaveUserProtocol(path, one, &why)) << why;
  ASSERT_TRUE(hanging::SaveUserProtocol(path, two, &why)) << why;
  auto set = hanging::ParseProtocols(Read(path), path);
  EXPECT_TRUE(set.problems.empty()) << Problems(set);
  ASSERT_EQ(set.protocols.size(), 2u);

  // The user's own spacing and keys survive a save of another protocol.
  const std::string own =
      "{\n  \"comment\": \"mine\",\n  \"protocols\": [\n    {\"name\":   \"Mine\",  \"stages\": "
      "[{\"cells\": [{}]}]}\n  ]\n}\n";
  Write(path, own);
  ASSERT_TRUE(hanging::SaveUserProtocol(path, one, &why)) << why;
  const std::string after = Read(path);
  EXPECT_NE(after.find("{\"name\":   \"Mine\",  \"stages\": [{\"cells\": [{}]}]}"),
            std::string::npos)
      << after;
  EXPECT_EQ(after.find("\"comment\": \"mine\""), own.find("\"comment\": \"mine\""));
  // Same name again: replaced, not added.
  const std::string one2 = R"({"name": "a", "stages": [{"cells": [{"modality": "US"}]}]})";
  ASSERT_TRUE(hanging::SaveUserProtocol(path, one2, &why)) << why;
  set = hanging::ParseProtocols(Read(path), path);
  ASSERT_EQ(set.protocols.size(), 2u) << Read(path);
  EXPECT_EQ(set.protocols[1].name, "a");
  EXPECT_EQ(set.protocols[1].stages[0].cells[0].select.modality, "US");

  const std::string broken = "{\"protocols\": [\n  {\"name\": \"Mine\"\n]}";
  Write(path, broken);
  EXPECT_FALSE(hanging::SaveUserProtocol(path, one, &why));
  EXPECT_NE(why.find(path + ":3"), std::string::npos) << why;
  EXPECT_EQ(Read(path), broken);
  // Nor is a protocol that would not read back written.
  Write(path, own);
  EXPECT_FALSE(hanging::SaveUserProtocol(path, "{\"name\": \"x\"}", &why));
  EXPECT_EQ(Read(path), own);
}

}  // namespace

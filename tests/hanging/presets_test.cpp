// The user's own window presets: read, checked, written back.
#include <gtest/gtest.h>

#include "hanging/UserPresets.h"
#include "support/paths.h"

namespace {

TEST(UserPresets, BadEntriesAreSkippedByLineAndTheRestKept) {
  const std::string text =
      "{\"presets\": [\n"
      "  {\"modality\": \"ct \", \"name\": \"Liver soft\", \"ww\": 150, \"wl\": 60},\n"
      "  {\"modality\": \"CT\", \"name\": \"Zero\", \"ww\": 0, \"wl\": 60},\n"
      "  {\"modality\": \"CT\", \"name\": \"Huge\", \"ww\": 1e999, \"wl\": 60},\n"
      "  {\"modality\": \"CT\", \"name\": \"No level\", \"ww\": 10},\n"
      "  {\"modality\": \"MR\", \"name\": \"T2 bright\", \"ww\": 900.5, \"wl\": -40, \"x\": 1},\n"
      "  {\"modality\": \"CT\", \"name\": \"liver SOFT\", \"ww\": 10, \"wl\": 1}\n"
      "]}\n";
  const auto r = hanging::ParseUserPresets(text, "p.json");
  ASSERT_EQ(r.presets.size(), 2u);
  EXPECT_EQ(r.presets[0].modality, "CT");
  EXPECT_EQ(r.presets[0].name, "Liver soft");
  EXPECT_EQ(r.presets[1].ww, 900.5);
  std::vector<int> lines;
  for (const auto& p : r.problems) lines.push_back(p.line);
  EXPECT_EQ(lines, (std::vector<int>{3, 4, 5, 6, 7}));
  EXPECT_EQ(hanging::PresetsFor(r.presets, "mr").size(), 1u);
  EXPECT_TRUE(hanging::PresetsFor(r.presets, "US").empty());
}

TEST(UserPresets, SavedPresetsReadBackAndInvalidOnesAreNotWritten) {
  const std::string file = testsupport::TempDir("hanging_presets") + "/new/window-presets.json";
  const std::vector<hanging::TUserPreset> presets = {{"CT", "Liver \"soft\"", 150, 60},
                                                     {"MR", "T2", 0.25, -1e6}};
  std::string why;
  ASSERT_TRUE(hanging::SaveUserPresets(file, presets, &why)) << why;
  const auto back = hanging::LoadUserPresets(file);
  EXPECT_TRUE(back.problems.empty());
  ASSERT_EQ(back.presets.size(), 2u);
  EXPECT_EQ(back.presets[0].name, "Liver \"soft\"");
  EXPECT_EQ(back.presets[1].ww, 0.25);
  EXPECT_EQ(back.presets[1].wl, -1e6);
  EXPECT_FALSE(hanging::SaveUserPresets(file, {{"CT", "Bad", -1, 0}}, &why));
  EXPECT_EQ(hanging::LoadUserPresets(file).presets.size(), 2u);
  EXPECT_TRUE(hanging::LoadUserPresets(file + ".missing").problems.empty());
}

}  // namespace

// The JSON reader under hand-edited and hostile text: positions, recovery
// inside the top-level list, and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "hanging/JsonText.h"

namespace {

using hanging::json::ParseJson;
using hanging::json::TKind;

TEST(JsonReader, ValuesKeepTheirLinesAndByteRanges) {
  const std::string text = "{\n  \"a\": [1, 2.5e1, -0],\n  \"b\": \"x\\u00e9\\ud83d\\ude00\"\n}";
  const auto r = ParseJson(text);
  ASSERT_TRUE(r.complete);
  const auto* a = r.root.Find("a");
  ASSERT_TRUE(a && a->IsArray());
  EXPECT_EQ(a->line, 2);
  EXPECT_EQ(text.substr(a->begin, a->end - a->begin), "[1, 2.5e1, -0]");
  EXPECT_DOUBLE_EQ(a->items[1].number, 25.0);
  const auto* b = r.root.Find("b");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->line, 3);
  EXPECT_EQ(b->text, "x\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(JsonReader, MalformedTextIsReportedByLineWithoutThrowing) {
  struct Case {
    const char* text;
    int line;
  };
  const Case cases[] = {
      {"{\"a\": 1,}", 1},             // trailing comma
      {"{\"a\": 1}\n\n x", 3},        // trailing garbage
      {"{\"a\": \"\\q\"}", 1},        // bad escape
      {"{\"a\": \"\\u12\"}", 1},      // short \u
      {"{\"a\": \"\\ud800\"}", 1},    // lone surrogate
      {"{\"a\":\n \"open", 2},        // truncated string
      {"{\"a\": [1, 2", 1},           // truncated list
      {"{\"a\": 01}", 1},             // leading zero
      {"{\"a\": 1.}", 1},             // no fraction digits
      {"{\"a\": tru}", 1},            // bad literal
      {"{a: 1}", 1},                  // unquoted key
      {"", 1},                        // empty
      {"{\"a\": \"tab\there\"}", 1},  // control character in a string
  };
  for (const Case& c : cases) {
    const auto r = ParseJson(c.text);
    EXPECT_FALSE(r.complete) << c.text;
    ASSERT_FALSE(r.issues.empty()) << c.text;
    EXPECT_TRUE(r.issues.front().fatal) << c.text;
    EXPECT_EQ(r.issues.front().line, c.line) << c.text << ": " << r.issues.front().reason;
  }
}

TEST(JsonReader, LimitsOnDepthSizeAndNumbers) {
  // Deep nesting stops at the limit instead of exhausting the stack.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  auto r = ParseJson(deep);
  EXPECT_FALSE(r.complete);
  EXPECT_NE(r.issues.front().reason.find("nested deeper"), std::string::npos);
  // A text over the size limit is refused whole.
  r = ParseJson(std::string(hanging::json::kMaxJsonBytes + 1, ' '));
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.issues.front().line, 0);
  // Out-of-range numbers read as infinity (or zero) for the schema to refuse.
  r = ParseJson("[1e400, -1e400, 1e-400, 123456789012345678901234567890]");
  ASSERT_TRUE(r.complete);
  EXPECT_TRUE(std::isinf(r.root.items[0].number) && r.root.items[0].number > 0);
  EXPECT_TRUE(std::isinf(r.root.items[1].number) && r.root.items[1].number < 0);
  EXPECT_EQ(r.root.items[2].number, 0.0);
  EXPECT_GT(r.root.items[3].number, 1e29);
}

TEST(JsonReader, DuplicateKeysWarnAndKeepTheLaterValue) {
  const auto r = ParseJson("{\"a\": 1,\n \"a\": 2}");
  ASSERT_TRUE(r.complete);
  ASSERT_EQ(r.issues.size(), 1u);
  EXPECT_FALSE(r.issues[0].fatal);
  EXPECT_EQ(r.issues[0].line, 2);
  EXPECT_EQ(r.root.members.size(), 1u);
  EXPECT_EQ(r.root.Find("a")->number, 2.0);
}

TEST(JsonReader, ABrokenElementOfTheTopLevelListDropsOnlyItself) {
  // A missing quote in the second element, a missing brace in the third:
  // the first and fourth still come through.
  const std::string text =
      "{\"protocols\": [\n"
      "  {\"name\": \"one\"},\n"
      "  {\"name\": \"two, \"x\": 1},\n"
      "  {\"name\": \"three\", \"stages\": [1],\n"
      "  {\"name\": \"four\"}\n"
      "]}\n";
  const auto r = ParseJson(text);
  EXPECT_FALSE(r.complete);
  const auto* list = r.root.Find("protocols");
  ASSERT_TRUE(list);
  std::vector<std::string> names;
  for (const auto& v : list->items)
    if (const auto* n = v.Find("name")) names.push_back(n->text);
  EXPECT_EQ(names, (std::vector<std::string>{"one", "four"}));
  ASSERT_GE(r.issues.size(), 2u);
  EXPECT_EQ(r.issues[0].line, 3);
  EXPECT_EQ(r.issues[1].line, 5);
}

TEST(JsonReader, AMissingCommaBetweenElementsLosesNothing) {
  const auto r = ParseJson("{\"presets\": [\n {\"a\": 1}\n {\"a\": 2}\n]}");
  EXPECT_FALSE(r.complete);
  ASSERT_EQ(r.issues.size(), 1u);
  EXPECT_EQ(r.issues[0].line, 3);
  EXPECT_EQ(r.root.Find("presets")->items.size(), 2u);
}

}  // namespace

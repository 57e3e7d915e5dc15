// The WADO-RS multipart reader, fed the way a network delivers: in chunks of
// every size, so a delimiter or header split anywhere must not matter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/Multipart.h"

namespace {

struct Collected {
  std::vector<std::string> parts;
  std::vector<std::string> types;
  bool open = false;
};

TMultipartParser MakeParser(const std::string& boundary, Collected& c,
                            TMultipartLimits limits = {}) {
  TMultipartParser::Sink sink;
  sink.begin = [&c](const TMultipartParser::Part& p, std::string&) {
    EXPECT_FALSE(c.open);
    c.open = true;
    c.parts.emplace_back();
    c.types.push_back(p.contentType);
    return true;
  };
  sink.data = [&c](const char* d, size_t n, std::string&) {
    EXPECT_TRUE(c.open);
    c.parts.back().append(d, n);
    return true;
  };
  sink.end = [&c](std::string&) {
    c.open = false;
    return true;
  };
  return TMultipartParser(boundary, sink, limits);
}

// Feeds body in chunks of `chunk` bytes; returns Feed's and Finish's verdict.
bool FeedInChunks(TMultipartParser& p, const std::string& body, size_t chunk) {
  for (size_t i = 0; i < body.size(); i += chunk)
    if (!p.Feed(body.data() + i, std::min(chunk, body.size() - i))) return false;
  return p.Finish();
}

std::string Part(const std::string& data, bool withLength,
                 const std::string& type = "application/dicom") {
  std::string h = "Content-Type: " + type + "\r\n";
  if (withLength) h += "Content-Length: " + std::to_string(data.size()) + "\r\n";
  return h + "\r\n" + data;
}

// Data that looks like the delimiter's start in places, as pixel data can.
const std::string kData1 =
    std::string("DICM\r\n--bounX\r\n-", 17) + std::string(300, '\x7f') + "\r\n--boun";
const std::string kData2 = std::string("\r\n--boun\0d", 10) + std::string(50, '\r');

}  // namespace

TEST(MediaType, QuotedParametersKeepTheirSeparators) {
  TMediaType t;
  ASSERT_TRUE(ParseMediaType(
      "Multipart/Related; type=\"application/dicom; charset=x\"; boundary=\"a;b \\\"c\\\"\"", t));
  EXPECT_EQ(t.type, "multipart/related");
  EXPECT_EQ(t.Param("type"), "application/dicom; charset=x");
  EXPECT_EQ(t.Param("BOUNDARY"), "a;b \"c\"");
  ASSERT_TRUE(ParseMediaType("multipart/related;boundary=plain-1;type=application/dicom", t));
  EXPECT_EQ(t.Param("boundary"), "plain-1");
  EXPECT_EQ(t.Param("type"), "application/dicom");
  EXPECT_FALSE(ParseMediaType("multipart/related; boundary=\"unclosed", t));
  EXPECT_FALSE(ParseMediaType("", t));
}

TEST(Multipart, PartsComeOutWholeWhateverTheChunking) {
  for (bool withLength : {false, true}) {
    const std::string body = "preamble text\r\n--bound\r\n" + Part(kData1, withLength) +
                             "\r\n--bound  \r\n" + Part(kData2, withLength) +
                             "\r\n--bound--\r\nepilogue";
    for (size_t chunk : {size_t(1), size_t(2), size_t(3), size_t(7), size_t(64), body.size()}) {
      Collected c;
      TMultipartParser p = MakeParser("bound", c);
      ASSERT_TRUE(FeedInChunks(p, body, chunk)) << p.Error() << " chunk " << chunk;
      ASSERT_EQ(c.parts.size(), 2u) << "chunk " << chunk;
      EXPECT_EQ(c.parts[0], kData1);
      EXPECT_EQ(c.parts[1], kData2);
      EXPECT_EQ(c.types[0], "application/dicom");
      EXPECT_EQ(p.PartsCompleted(), 2);
      EXPECT_TRUE(p.Closed());
    }
  }
}

TEST(Multipart, FirstDelimiterMayOpenTheBodyAndCloseMayBeMissing) {
  Collected c;
  TMultipartParser p = MakeParser("b", c);
  const std::string body = "--b\r\n" + Part("xyz", false) + "\r\n--b\r\n";
  ASSERT_TRUE(FeedInChunks(p, body, 1)) << p.Error();
  ASSERT_EQ(c.parts.size(), 1u);
  EXPECT_EQ(c.parts[0], "xyz");
  // A part with no headers at all is a part too.
  Collected d;
  TMultipartParser q = MakeParser("b", d);
  ASSERT_TRUE(FeedInChunks(q, "--b\r\n\r\nraw\r\n--b--", 4)) << q.Error();
  ASSERT_EQ(d.parts.size(), 1u);
  EXPECT_EQ(d.parts[0], "raw");
  EXPECT_TRUE(d.types[0].empty());
}

TEST(Multipart, MalformedOrDishonestBodiesAreRefusedWithAReason) {
  struct Case {
    const char* what;
    std::string body;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"more bytes than Content-Length", "--b\r\nContent-Length: 3\r\n\r\nabcdef\r\n--b--",
       "Content-Length"},
      {"cut inside a part", "--b\r\n\r\nabc", "middle of an image"},
      {"cut inside the headers", "--b\r\nContent-Type: appl", "middle of an image"},
      {"no boundary at all", std::string(70000, 'x'), "not a multipart body"},
      {"empty answer", "", "empty"},
      {"garbage after a delimiter", "--b\r\n\r\nabc\r\n--bXYZ\r\n", "delimiter"},
      {"bad Content-Length", "--b\r\nContent-Length: 12a\r\n\r\n", "Content-Length"},
      {"header line without colon", "--b\r\nnonsense\r\n\r\nabc\r\n--b--", "header line"},
  };
  for (const Case& k : cases) {
    Collected c;
    TMultipartParser p = MakeParser("b", c);
    EXPECT_FALSE(FeedInChunks(p, k.body, 5)) << k.what;
    EXPECT_NE(p.Error().find(k.reason), std::string::npos) << k.what << ": " << p.Error();
    // Once refused, more input changes nothing.
    EXPECT_FALSE(p.Feed("--b--", 5));
  }
}

TEST(Multipart, SizesAreBoundedBeforeTheBytesArrive) {
  TMultipartLimits limits;
  limits.maxPartBytes = 1000;
  limits.maxHeaderBytes = 64;
  {
    Collected c;
    TMultipartParser p = MakeParser("b", c, limits);
    EXPECT_FALSE(p.Feed("--b\r\nContent-Length: 99999999999999\r\n\r\n", 40));
    EXPECT_NE(p.Error().find("more than an image may hold"), std::string::npos) << p.Error();
    EXPECT_TRUE(c.parts.empty());  // refused before the part began
  }
  {
    Collected c;
    TMultipartParser p = MakeParser("b", c, limits);
    const std::string body = "--b\r\n\r\n" + std::string(1500, 'z');
    EXPECT_FALSE(p.Feed(body.data(), body.size()));
    EXPECT_NE(p.Error().find("larger"), std::string::npos) << p.Error();
  }
  {
    Collected c;
    TMultipartParser p = MakeParser("b", c, limits);
    const std::string body = "--b\r\nX-Long: " + std::string(200, 'h');
    EXPECT_FALSE(p.Feed(body.data(), body.size()));
    EXPECT_NE(p.Error().find("header block"), std::string::npos) << p.Error();
  }
}

TEST(Multipart, ASinkRefusalStopsTheParse) {
  TMultipartParser::Sink sink;
  int begun = 0;
  sink.begin = [&](const TMultipartParser::Part&, std::string& why) {
    ++begun;
    why = "not a DICOM file";
    return false;
  };
  TMultipartParser p("b", sink);
  const std::string body = "--b\r\n\r\nabc\r\n--b\r\n\r\ndef\r\n--b--";
  EXPECT_FALSE(p.Feed(body.data(), body.size()));
  EXPECT_EQ(p.Error(), "not a DICOM file");
  EXPECT_EQ(begun, 1);
}

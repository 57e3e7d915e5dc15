// WADO-RS answers that cannot be trusted, from a server that says exactly
// what each case needs: every one is refused with its reason, whole images
// that came before stay, and nothing half-written is left in the folder.
#include <gtest/gtest.h>

#include "fake_web_server.h"
#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "pacs_fixture.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

using namespace pacstest;

namespace {

const std::string kStudy = "1.2.826.0.1.3680043.2.1125.42";
const std::string kSeries = kStudy + ".1";

std::string Slice(int k, const std::string& study = kStudy) {
  testsupport::CtSliceSpec s;
  s.studyUid = study;
  s.seriesUid = kSeries;
  s.sopUid = kSeries + "." + std::to_string(k);
  s.instanceNumber = k;
  s.size = 16;
  const auto bytes = testsupport::CtSliceFile(s);
  return std::string(bytes.begin(), bytes.end());
}

struct Case {
  const char* what;
  std::string body;  // the WADO-RS answer
  int announced;     // instances the series query announces
  const char* reason;
  size_t kept;        // whole images expected to stay
  size_t orMore = 0;  // or up to this many: the count and the images race
};

}  // namespace

TEST(WebRefusals, UntrustworthyAnswersAreRefusedAndWhatCameBeforeStays) {
  const std::string b = "b;\"x\"";  // a boundary that must be quoted, holding a ';'
  const std::string head = FakeWebServer::MultipartHead("\"b;\\\"x\\\"\"");
  const std::vector<Case> cases = {
      {"cut off in the middle of an image",
       head + FakeWebServer::Part(b, Slice(1)) + FakeWebServer::Part(b, Slice(2)) + "--" + b +
           "\r\nContent-Type: application/dicom\r\n\r\n" + Slice(3).substr(0, 300),
       3, "stopped in the middle of an image", 2},
      {"a part longer than its Content-Length",
       head + FakeWebServer::Part(b, Slice(1)) + "--" + b + "\r\nContent-Length: 200\r\n\r\n" +
           Slice(2) + "\r\n--" + b + "--\r\n",
       2, "Content-Length", 1},
      {"a part that is not a DICOM file",
       head + FakeWebServer::Part(b, Slice(1)) + FakeWebServer::Part(b, std::string(500, 'x')) +
           "--" + b + "--",
       2, "not a DICOM file", 1},
      {"a part of another type",
       head + FakeWebServer::Part(b, "<html></html>", true, "text/html") + "--" + b + "--", 1,
       "not a DICOM file", 0},
      {"more images than announced",
       head + FakeWebServer::Part(b, Slice(1)) + FakeWebServer::Part(b, Slice(2)) + "--" + b + "--",
       1, "more images than it announced", 1, 2},
      {"an image of another study",
       head + FakeWebServer::Part(b, Slice(1, "1.2.3.4")) + "--" + b + "--", 1, "another study", 0},
      {"a huge Content-Length", head + "--" + b + "\r\nContent-Length: 99999999999999\r\n\r\nabc",
       1, "more than an image may hold", 0},
      {"not multipart at all", FakeWebServer::Json("[]"), 1, "multipart/related", 0},
      {"fewer images than announced", head + FakeWebServer::Part(b, Slice(1)) + "--" + b + "--", 2,
       "did not arrive", 1},
  };
  for (const Case& c : cases) {
    FakeWebServer server([&](const std::string& path) {
      if (path.find("/series") != std::string::npos)
        return FakeWebServer::Json(FakeWebServer::SeriesJson(kStudy, kSeries, c.announced));
      return c.body;
    });
    const std::string dir = TestDir("web_refusals");
    auto client = MakePacsClient(server.Server());
    const TRetrieveResult r = RetrieveInto(*client, {dir, kStudy, ""});
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.why.find(c.reason), std::string::npos) << c.what << ": " << r.why;
    EXPECT_EQ(r.why.find('\n'), std::string::npos) << c.what;
    EXPECT_GE(r.stored.size(), c.kept) << c.what;
    EXPECT_LE(r.stored.size(), std::max(c.kept, c.orMore)) << c.what;
    EXPECT_EQ(FilesUnder(dir).size(), r.stored.size())
        << c.what << ": only whole images, no staging leftovers";
  }
}

TEST(WebRefusals, AWellFormedAnswerWithoutLengthsOrCloseDelimiterIsAccepted) {
  // No Content-Length per part, an unquoted boundary, a preamble, and the
  // answer ended by closing the connection right after the last delimiter.
  const std::string b = "simple";
  FakeWebServer server([&](const std::string& path) {
    if (path.find("/series") != std::string::npos)
      return FakeWebServer::Json(FakeWebServer::SeriesJson(kStudy, kSeries, 2));
    return FakeWebServer::MultipartHead(b) + "preamble\r\n" +
           FakeWebServer::Part(b, Slice(1), false) + FakeWebServer::Part(b, Slice(2), false) +
           "--" + b + "\r\n";
  });
  const std::string dir = TestDir("web_plain");
  const TRetrieveResult r = RetrieveInto(*MakePacsClient(server.Server()), {dir, kStudy, ""});
  EXPECT_TRUE(r.ok) << r.why;
  EXPECT_EQ(FilesUnder(dir).size(), 2u);
  // The series and the study were asked for by path, with the image syntax left to the server.
  ASSERT_EQ(server.Paths().size(), 2u);
  EXPECT_EQ(server.Paths()[1], "/rs/studies/" + kStudy);
}

TEST(WebRefusals, AServerThatNeverAnswersTimesOut) {
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  TPacsServer s;
  std::string why;
  ASSERT_TRUE(ParseServerAddress(
      "dicomweb+http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/", s, why));
  s.timeoutSeconds = 1;
  std::vector<TQueryRow> rows;
  EXPECT_FALSE(MakePacsClient(s)->Find(TQueryLevel::Study, {}, rows, why));
  EXPECT_NE(why.find("did not answer within 1 s"), std::string::npos) << why;
}

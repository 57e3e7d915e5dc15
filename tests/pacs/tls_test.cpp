// DICOMweb over TLS through Qt: a server with a certificate of its own is
// refused until its authority is given (caFile), then queried and retrieved
// from. (Debian's Orthanc 1.10 crashes on its first HTTPS request, so the
// server here is the scripted one, speaking TLS through Qt.)
#include <gtest/gtest.h>

#include "fake_web_server.h"
#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "pacs_fixture.h"
#include "support/fixtures.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

using namespace pacstest;

TEST(PacsTls, AnUntrustedCertificateIsRefusedAndATrustedOneAnswers) {
  if (!QSslSocket::supportsSsl()) REQUIRE_OR_SKIP("Qt has no TLS backend here");
  const std::string dir = TestDir("tls");
  const std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
  ASSERT_EQ(fixtures::RunCommand(
                "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>&1"),
            0);
  const std::string study = "1.2.826.0.1.3680043.2.1125.443", series = study + ".1";
  testsupport::CtSliceSpec spec;
  spec.studyUid = study;
  spec.seriesUid = series;
  spec.sopUid = series + ".1";
  spec.size = 16;
  const auto bytes = testsupport::CtSliceFile(spec);
  FakeWebServer server(
      [&](const std::string& path) {
        if (path.find("/series") != std::string::npos)
          return FakeWebServer::Json(FakeWebServer::SeriesJson(study, series, 1));
        if (path.find("/studies?") != std::string::npos)
          return FakeWebServer::Json("[{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"" + study +
                                     "\"]}}]");
        return FakeWebServer::MultipartHead("t") +
               FakeWebServer::Part("t", std::string(bytes.begin(), bytes.end())) + "--t--";
      },
      cert, key);

  TPacsServer s = server.Server();
  ASSERT_TRUE(s.tls);
  std::vector<TQueryRow> rows;
  std::string why;
  EXPECT_FALSE(MakePacsClient(s)->Find(TQueryLevel::Study, {}, rows, why));
  EXPECT_NE(why.find("secure connection"), std::string::npos) << why;

  s.caFile = cert;
  ASSERT_TRUE(MakePacsClient(s)->Find(TQueryLevel::Study, {}, rows, why)) << why;
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Get("StudyInstanceUID"), study);
  const std::string out = TestDir("tls_out");
  const TRetrieveResult r = RetrieveInto(*MakePacsClient(s), {out, study, ""});
  EXPECT_TRUE(r.ok) << r.why;
  EXPECT_EQ(FilesUnder(out).size(), 1u);

  s.caFile = dir + "/missing.pem";
  EXPECT_FALSE(MakePacsClient(s)->Find(TQueryLevel::Study, {}, rows, why));
  EXPECT_NE(why.find("missing.pem"), std::string::npos) << why;
}

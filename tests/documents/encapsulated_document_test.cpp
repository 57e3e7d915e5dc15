// Encapsulated documents written by DCMTK's pdf2dcm and by pydicom: the
// document comes back byte for byte, with what describes it; objects that
// are no document, or whose document is damaged, are refused with a reason.
#include "documents/EncapsulatedDocument.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kFixtures =
    std::string(TAVROLEN_SOURCE_DIR) + "/tests/documents/document_fixtures.py";

std::string Slurp(const std::string& path) {
  const fixtures::Bytes b = fixtures::ReadFile(path);
  return std::string(b.begin(), b.end());
}

class Documents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testsupport::TempDir("encapsulated_documents");
    std::string out;
    ASSERT_EQ(
        fixtures::RunCommand("/usr/bin/python3 '" + kFixtures + "' '" + dir_ + "' 2>&1", &out), 0)
        << out;
  }
  static std::string dir_;
};
std::string Documents::dir_;

TEST(DocumentBytes, DeclaredLengthOrSinglePaddingByte) {
  // The declared length wins, even over a value that ends in a NUL.
  EXPECT_EQ(DocumentBytes(std::string_view("abc\0", 4), true, 3), "abc");
  EXPECT_EQ(DocumentBytes(std::string_view("ab\0\0", 4), true, 4), std::string_view("ab\0\0", 4));
  // A length beyond the value gives the value, never bytes past it.
  EXPECT_EQ(DocumentBytes("abcd", true, 100), "abcd");
  // Without a length: one padding byte goes from an even value, NUL or space.
  EXPECT_EQ(DocumentBytes(std::string_view("abc\0", 4), false, 0), "abc");
  EXPECT_EQ(DocumentBytes("abc ", false, 0), "abc");
  EXPECT_EQ(DocumentBytes(std::string_view("ab\0\0", 4), false, 0), std::string_view("ab\0", 3));
  // An odd value was never padded; an even one without padding is whole.
  EXPECT_EQ(DocumentBytes(std::string_view("ab\0", 3), false, 0), std::string_view("ab\0", 3));
  EXPECT_EQ(DocumentBytes("abcd", false, 0), "abcd");
  EXPECT_EQ(DocumentBytes("", false, 0), "");
}

TEST(DocumentBytes, PdfHeaderAndMimeTypes) {
  EXPECT_EQ(PdfProblem("%PDF-1.7\n..."), "");
  EXPECT_EQ(PdfProblem(std::string(1000, ' ') + "%PDF-1.4"), "");  // junk before, as readers allow
  EXPECT_NE(PdfProblem(std::string(1100, ' ') + "%PDF-1.4"), "");
  EXPECT_NE(PdfProblem("<html>"), "");
  EXPECT_NE(PdfProblem(""), "");
  EXPECT_TRUE(IsPdfMime("application/PDF "));
  EXPECT_TRUE(IsTextMime("text/XML"));
  EXPECT_TRUE(IsTextMime("application/hl7-cda+xml"));
  EXPECT_FALSE(IsTextMime("model/stl"));
  EXPECT_EQ(DocumentExtension("text/XML"), ".xml");
  EXPECT_EQ(DocumentExtension("model/stl"), ".stl");
  EXPECT_EQ(DocumentExtension("application/x-unknown"), ".bin");
  EXPECT_TRUE(IsEncapsulatedDocumentClass("1.2.840.10008.5.1.4.1.1.104.1"));
  EXPECT_TRUE(IsEncapsulatedDocumentClass("1 2 840 10008 5 1 4 1 1 104 5"));
  EXPECT_FALSE(IsEncapsulatedDocumentClass("1.2.840.10008.5.1.4.1.1.104."));
  EXPECT_FALSE(IsEncapsulatedDocumentClass("1.2.840.10008.5.1.4.1.1.88.11"));
}

TEST_F(Documents, PdfFromPdf2dcmComesBackExactlyWithItsFacts) {
  REQUIRE_TOOL("pdf2dcm");
  for (const char* name : {"two_pages", "odd"}) {
    SCOPED_TRACE(name);
    const std::string pdf = dir_ + "/" + name + ".pdf";
    const std::string dcm = dir_ + "/" + name + "_p2d.dcm";
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("pdf2dcm +t 'Referral letter' +pn 'DOE^JANE' +pi P1 '" + pdf +
                                       "' '" + dcm + "' 2>&1",
                                   &out),
              0)
        << out;
    TEncapsulatedDocument doc;
    std::string why;
    ASSERT_TRUE(ReadEncapsulatedDocument(dcm, doc, why)) << why;
    EXPECT_EQ(doc.bytes, Slurp(pdf));
    EXPECT_EQ(doc.title, "Referral letter");
    EXPECT_TRUE(IsPdfMime(doc.mimeType));
    EXPECT_EQ(doc.sopClassUid, "1.2.840.10008.5.1.4.1.1.104.1");
    EXPECT_EQ(doc.patientName, "DOE^JANE");
    EXPECT_EQ(doc.patientId, "P1");
    EXPECT_FALSE(doc.seriesInstanceUid.empty());
    EXPECT_FALSE(doc.sopInstanceUid.empty());
    EXPECT_TRUE(doc.lengthGiven);
    EXPECT_EQ(PdfProblem(doc.bytes), "");
  }
}

TEST_F(Documents, ValueWithoutLengthLosesOnlyItsPadding) {
  TEncapsulatedDocument doc;
  std::string why;
  ASSERT_TRUE(ReadEncapsulatedDocument(dir_ + "/unpadded.dcm", doc, why)) << why;
  EXPECT_FALSE(doc.lengthGiven);
  EXPECT_EQ(doc.bytes, Slurp(dir_ + "/odd.pdf"));
}

TEST_F(Documents, CdaTextStlAndNotAPdf) {
  TEncapsulatedDocument cda;
  std::string why;
  ASSERT_TRUE(ReadEncapsulatedDocument(dir_ + "/cda.dcm", cda, why)) << why;
  EXPECT_EQ(cda.title, "Consultation note");
  EXPECT_EQ(cda.contentDate, "20261211");
  EXPECT_EQ(cda.seriesNumber, 91);
  EXPECT_TRUE(IsTextMime(cda.mimeType));
  EXPECT_EQ(cda.bytes.back(), '\n');  // the declared length drops the space pad
  EXPECT_EQ(CdaReadableText(cda.bytes),
            "Consultation & Referral\n"
            "\n"
            "History\n"
            "Chest pain since Monday.\n"
            "No fever\n"
            "No cough\n"
            "\n"
            "Plan\n"
            "Test\tWhen\n"
            "ECG\ttoday");

  TEncapsulatedDocument stl;
  ASSERT_TRUE(ReadEncapsulatedDocument(dir_ + "/stl.dcm", stl, why)) << why;
  EXPECT_EQ(stl.bytes, "sol");
  EXPECT_EQ(DocumentExtension(stl.mimeType), ".stl");

  // The object reads; its document is no PDF, and says so once.
  TEncapsulatedDocument text;
  ASSERT_TRUE(ReadEncapsulatedDocument(dir_ + "/notpdf.dcm", text, why)) << why;
  EXPECT_EQ(PdfProblem(text.bytes), "not a PDF: the document has no %PDF- header");
}

TEST_F(Documents, RefusalsNameTheirReason) {
  REQUIRE_SAMPLE("CT_small.dcm");
  TEncapsulatedDocument doc;
  std::string why;
  EXPECT_FALSE(ReadEncapsulatedDocument(testsupport::SamplePath("CT_small.dcm"), doc, why));
  EXPECT_NE(why.find("not an encapsulated document"), std::string::npos) << why;

  why.clear();
  EXPECT_FALSE(ReadEncapsulatedDocument(dir_ + "/claims.dcm", doc, why));
  EXPECT_FALSE(why.empty());

  why.clear();
  EXPECT_FALSE(ReadEncapsulatedDocument(dir_ + "/two_pages.pdf", doc, why));
  EXPECT_NE(why.find("not a readable DICOM file"), std::string::npos) << why;

  why.clear();
  EXPECT_FALSE(ReadEncapsulatedDocument(dir_ + "/no such file.dcm", doc, why));
  EXPECT_FALSE(why.empty());

  // Cut anywhere, the file is refused or read, never read past its end.
  const fixtures::Bytes whole = fixtures::ReadFile(dir_ + "/cda.dcm");
  for (size_t size : {size_t(0), size_t(132), size_t(400), whole.size() - 300, whole.size() - 1}) {
    const std::string cut = fixtures::WriteFile(dir_, "cut.dcm", fixtures::Truncated(whole, size));
    TEncapsulatedDocument partial;
    std::string reason;
    if (!ReadEncapsulatedDocument(cut, partial, reason)) {
      EXPECT_FALSE(reason.empty());
    }
  }
}

TEST(CdaText, DamagedAndHostileMarkup) {
  // Stops at the damage with what came before.
  EXPECT_EQ(CdaReadableText("<ClinicalDocument><title>Note</title><section><title>A</tit"),
            "Note\n\nA");
  // Entities, character references, comments, CDATA and prefixes.
  EXPECT_EQ(CdaReadableText("<v3:title>x &lt;&#65;&#x42;&bogus; <!-- no --><![CDATA[<c>]]>"
                            "</v3:title>"),
            "x <AB&bogus; <c>");
  // Deep nesting and a stray end tag neither crash nor lose the text.
  std::string deep = "<section><text>";
  for (int k = 0; k < 5000; ++k) deep += "<content>";
  deep += "deep</x></text></section>";
  EXPECT_EQ(CdaReadableText(deep), "deep");
  EXPECT_EQ(CdaReadableText(""), "");
  EXPECT_EQ(CdaReadableText("no markup at all"), "");
}

}  // namespace

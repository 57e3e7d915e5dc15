// The element walk behind the tag browser and `tags`: every encoding, VRs
// resolved the way the standard says for implicit files, sequences of both
// length kinds, character sets, and files that are damaged or hostile.
#include <gtest/gtest.h>

#include <functional>

#include "dicom/DicomCharset.h"
#include "dicom/DicomDictionary.h"
#include "dicom/DicomElements.h"
#include "dicom/dicom_values.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using dicomwriter::DicomFileOptions;
using fixtures::Bytes;
using fixtures::DicomWriter;

TagListing List(const Bytes& file) {
  MemoryByteSource src(file.data(), file.size());
  return ReadTagListing(src);
}

Bytes File(const DicomWriter& w, const std::string& syntax, bool meta = true) {
  DicomFileOptions o;
  o.transferSyntax = syntax;
  o.preamble = o.dicm = o.meta = meta;
  return dicomwriter::BuildDicomFile(w, o);
}

const TagElement* Find(const std::vector<TagElement>& es, uint32_t tag) {
  for (const auto& e : es)
    if (e.tag == tag) return &e;
  return nullptr;
}

std::string Value(const std::vector<TagElement>& es, uint32_t tag) {
  const TagElement* e = Find(es, tag);
  return e ? ElementValueText(*e) : "<missing>";
}

std::string VR(const std::vector<TagElement>& es, uint32_t tag) {
  const TagElement* e = Find(es, tag);
  return e ? e->vr : "<missing>";
}

// One data set with a value of each kind, written in the given encoding.
DicomWriter Mixed(bool explicitVR, bool little) {
  DicomWriter w(explicitVR, little);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "DOE^JOHN");
  w.Text(0x00180050, "DS", " 2.5 ");
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  w.US(0x00280010, {512});
  w.US(0x00280103, {1});
  w.SS(0x00280106, {-1024});  // US or SS: signed by Pixel Representation
  w.FD(0x00189087, {1000.5});
  w.FL(0x00181320, {0.1f});
  // Frame Increment Pointer: (0018,1063), in the writer's byte order.
  const std::vector<uint8_t> at = little ? std::vector<uint8_t>{0x18, 0, 0x63, 0x10}
                                         : std::vector<uint8_t>{0, 0x18, 0x10, 0x63};
  w.Element(0x00280009, "AT", at);
  return w;
}

TEST(TagListing, EveryEncodingListsTheSameElements) {
  struct Case {
    bool explicitVR, little;
    const char* syntax;
  };
  const Case cases[] = {{true, true, dicomwriter::kExplicitVRLittleEndian},
                        {false, true, dicomwriter::kImplicitVRLittleEndian},
                        {true, false, dicomwriter::kExplicitVRBigEndian}};
  for (const Case& c : cases) {
    for (bool meta : {true, false}) {
      SCOPED_TRACE(std::string(c.syntax) + (meta ? " with meta" : " bare"));
      const TagListing l = List(File(Mixed(c.explicitVR, c.little), c.syntax, meta));
      ASSERT_TRUE(l.ok) << l.error;
      EXPECT_EQ(l.warning, "");
      EXPECT_EQ(l.transferSyntax, c.syntax);
      const auto& es = l.elements;
      EXPECT_EQ(Value(es, 0x00080060), "CT");
      EXPECT_EQ(Value(es, 0x00100010), "DOE^JOHN");
      EXPECT_EQ(Value(es, 0x00180050), "2.5");  // numbers as text lose their blanks
      EXPECT_EQ(Value(es, 0x00200037), "1\\0\\0\\0\\1\\0");
      EXPECT_EQ(Find(es, 0x00200037)->texts.size(), 6u);
      EXPECT_EQ(Value(es, 0x00280010), "512");
      EXPECT_EQ(VR(es, 0x00280106), "SS");
      EXPECT_EQ(Value(es, 0x00280106), "-1024");
      EXPECT_EQ(Value(es, 0x00189087), "1000.5");
      EXPECT_EQ(Value(es, 0x00181320), "0.1");
      EXPECT_EQ(NumberText(Find(es, 0x00181320)->numbers[0], true), "0.10000000149011612");
      EXPECT_EQ(VR(es, 0x00280010), "US");
      EXPECT_EQ(Value(es, 0x00280009), "(0018,1063)");
      EXPECT_EQ(Find(es, 0x00100010)->keyword, "PatientName");
      EXPECT_EQ(Find(es, 0x00100010)->name, "Patient's Name");
      if (meta) {
        EXPECT_EQ(Value(es, 0x00020010), c.syntax);
      }
    }
  }
}

TEST(TagListing, SequencesOfBothLengthKindsNest) {
  for (bool undefinedSeq : {false, true}) {
    for (bool explicitVR : {true, false}) {
      SCOPED_TRACE(std::to_string(undefinedSeq) + std::to_string(explicitVR));
      DicomWriter w(explicitVR, true);
      w.Text(0x00080005, "CS", "ISO_IR 100");
      w.BeginSequence(0x00081140, undefinedSeq);
      w.BeginItem(!undefinedSeq).Text(0x00081150, "UI", "1.2.3").EndItem();
      w.BeginItem(undefinedSeq);
      w.BeginSequence(0x00081199, !undefinedSeq);
      w.BeginItem().Text(0x00100010, "PN", "M\xfcller").EndItem();
      w.EndSequence();
      w.EndItem();
      w.BeginItem().EndItem();  // an empty item
      w.EndSequence();
      w.BeginSequence(0x00400275, undefinedSeq).EndSequence();  // an empty sequence
      w.Text(0x00200010, "SH", "S1");
      const TagListing l = List(File(w, explicitVR ? dicomwriter::kExplicitVRLittleEndian
                                                   : dicomwriter::kImplicitVRLittleEndian));
      ASSERT_TRUE(l.ok);
      EXPECT_EQ(l.warning, "");
      const TagElement* seq = Find(l.elements, 0x00081140);
      ASSERT_TRUE(seq);
      EXPECT_EQ(seq->vr, "SQ");
      ASSERT_EQ(seq->items.size(), 3u);
      EXPECT_EQ(Value(seq->items[0], 0x00081150), "1.2.3");
      const TagElement* inner = Find(seq->items[1], 0x00081199);
      ASSERT_TRUE(inner);
      ASSERT_EQ(inner->items.size(), 1u);
      // The item inherits the data set's character set.
      EXPECT_EQ(Value(inner->items[0], 0x00100010), "M\xc3\xbcller");
      EXPECT_TRUE(seq->items[2].empty());
      EXPECT_TRUE(Find(l.elements, 0x00400275)->items.empty());
      EXPECT_EQ(Value(l.elements, 0x00200010), "S1");  // the walk goes on after them
      size_t meta = 0;
      for (const auto& e : l.elements) meta += (e.tag >> 16) == 0x0002;
      EXPECT_EQ(l.count, meta + 7);
      const std::string text = TagListingText(l.elements);
      EXPECT_NE(text.find("\n  Item 2\n    (0008,1199) SQ ReferencedSOPSequence"),
                std::string::npos)
          << text;
    }
  }
}

TEST(TagListing, ImplicitFilesTakeTheirVRsFromTheDictionaryAndTheDataSet) {
  DicomWriter w(false, true);
  w.UL(0x00080000, {0});  // a group length
  w.Text(0x00090010, "LO", "GEMS_IDEN_01");
  w.Text(0x00091001, "LO", "GE_GENESIS_FF");  // known to the private dictionary
  w.Text(0x00091050, "LO", "what is this");   // a block element nobody knows
  w.US(0x00280103, {0});
  w.US(0x00280106, {40000});  // US or SS, unsigned here
  w.BeginSequence(0x00283000);
  w.BeginItem().US(0x00283002, {1, 0, 16}).US(0x00283006, {7}).EndItem();
  w.BeginItem().US(0x00283002, {2, 0, 16}).US(0x00283006, {7, 8}).EndItem();
  w.EndSequence();
  w.Text(0x00290010, "LO", "ACME");
  // A private element of undefined length can only be a sequence.
  w.BeginSequence(0x00291010, true).BeginItem().Text(0x00100020, "LO", "X").EndItem().EndSequence();
  w.Element(0x60003000, "OW", std::vector<uint8_t>(8, 0));
  w.Element(0x7FE00010, "OW", std::vector<uint8_t>(16, 0));
  const auto es = List(File(w, dicomwriter::kImplicitVRLittleEndian)).elements;
  EXPECT_EQ(VR(es, 0x00080000), "UL");
  EXPECT_EQ(Find(es, 0x00080000)->keyword, "");
  EXPECT_EQ(Find(es, 0x00080000)->name, "Group Length");
  EXPECT_EQ(VR(es, 0x00090010), "LO");
  EXPECT_EQ(VR(es, 0x00091001), "LO");
  EXPECT_EQ(Find(es, 0x00091001)->creator, "GEMS_IDEN_01");
  EXPECT_EQ(Find(es, 0x00091001)->keyword, "");  // private elements have no keyword
  EXPECT_EQ(VR(es, 0x00091050), "UN");
  EXPECT_EQ(Find(es, 0x00091050)->length, 12);
  EXPECT_EQ(VR(es, 0x00280106), "US");
  EXPECT_EQ(Value(es, 0x00280106), "40000");
  const TagElement* lut = Find(es, 0x00283000);
  ASSERT_TRUE(lut && lut->items.size() == 2);
  EXPECT_EQ(VR(lut->items[0], 0x00283006), "US");  // one entry: US
  EXPECT_EQ(Value(lut->items[0], 0x00283006), "7");
  EXPECT_EQ(VR(lut->items[1], 0x00283006), "OW");  // a table: OW
  EXPECT_EQ(VR(es, 0x00291010), "SQ");
  EXPECT_EQ(Value(Find(es, 0x00291010)->items.at(0), 0x00100020), "X");
  EXPECT_EQ(VR(es, 0x60003000), "OW");
  EXPECT_EQ(Find(es, 0x60003000)->keyword, "OverlayData");  // a repeating group
  EXPECT_EQ(VR(es, 0x7FE00010), "OW");
  EXPECT_EQ(Find(es, 0x7FE00010)->length, 16);
}

TEST(TagListing, UnknownVRElementsAreReadWithTheDictionary) {
  // Explicit UN: a standard element is decoded as the dictionary says; a UN
  // of undefined length is a sequence coded implicit VR little endian.
  DicomWriter seq(false, true);
  seq.BeginItem().Text(0x00081150, "UI", "1.2.3").EndItem();
  seq.ItemHeader(0xFFFEE0DD, 0);
  for (bool little : {true, false}) {
    DicomWriter w(true, little);
    const std::string name = "DOE^JANE";
    w.Element(0x00100010, "UN", name.data(), name.size());
    w.ElementWithLength(0x00081140, "UN", 0xFFFFFFFF, seq.Bytes());
    w.Text(0x00290010, "LO", "ACME");
    w.Element(0x00291001, "UN", std::vector<uint8_t>{1, 2, 3, 4});
    w.Text(0x00200010, "SH", "after");
    const auto es = List(File(w, little ? dicomwriter::kExplicitVRLittleEndian
                                        : dicomwriter::kExplicitVRBigEndian))
                        .elements;
    EXPECT_EQ(VR(es, 0x00100010), "PN");
    EXPECT_EQ(Value(es, 0x00100010), "DOE^JANE");
    EXPECT_EQ(VR(es, 0x00081140), "SQ");
    ASSERT_TRUE(Find(es, 0x00081140) && Find(es, 0x00081140)->items.size() == 1);
    EXPECT_EQ(Value(Find(es, 0x00081140)->items[0], 0x00081150), "1.2.3");
    EXPECT_EQ(VR(es, 0x00291001), "UN");
    EXPECT_EQ(Value(es, 0x00291001), "4 bytes: 01 02 03 04");
    EXPECT_EQ(Value(es, 0x00200010), "after");
  }
}

TEST(TagListing, EncapsulatedPixelDataIsMeasuredNotRead) {
  fixtures::ImageSpec spec;
  spec.bitsAllocated = 8;
  spec.bitsStored = 8;
  // A fragment whose bytes spell a sequence delimiter must not end the data.
  Bytes odd = {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};
  const Bytes file =
      fixtures::EncapsulatedFile(spec, dicomwriter::kJPEGBaseline, {Bytes(10, 1), odd}, {});
  const TagListing l = List(file);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.warning, "");
  const TagElement* px = Find(l.elements, 0x7FE00010);
  ASSERT_TRUE(px);
  EXPECT_EQ(px->vr, "OB");
  EXPECT_EQ(px->kind, TagElement::Kind::Bulk);
  EXPECT_EQ(px->fragments, 3);  // offset table and two fragments
  EXPECT_EQ(px->length, 8 + 8 + 10 + 8 + 8);
  EXPECT_EQ(ElementValueText(*px), "encapsulated, 3 fragments, 42 bytes");
}

TEST(TagListing, DamagedFilesListWhatComesBeforeTheDamage) {
  const Bytes whole = fixtures::SmallImageFile();
  const TagListing full = List(whole);
  ASSERT_TRUE(full.ok);
  const TagElement* px = Find(full.elements, 0x7FE00010);
  ASSERT_TRUE(px);
  // Cut inside the pixel data: everything before it is there, the pixel
  // data with the bytes present and one warning.
  const TagListing cut = List(fixtures::Truncated(whole, size_t(px->offset + 12 + 5)));
  ASSERT_TRUE(cut.ok);
  EXPECT_EQ(cut.elements.size(), full.elements.size());
  EXPECT_TRUE(Find(cut.elements, 0x7FE00010)->truncated);
  EXPECT_EQ(Find(cut.elements, 0x7FE00010)->length, 5);
  EXPECT_EQ(cut.warning, "the file ends inside (7FE0,0010): 5 of 24 bytes are present");

  // Every cut and every single-byte corruption reads without a crash or a
  // hang and never lists more elements than the file can hold.
  for (size_t n = 0; n < whole.size(); ++n) {
    const TagListing l = List(fixtures::Truncated(whole, n));
    EXPECT_LE(l.count, n / 8 + 1);
    Bytes bad = whole;
    bad[n] ^= 0xFF;
    const TagListing b = List(bad);
    EXPECT_LE(b.count, bad.size() / 8 + 1);
  }
}

TEST(TagListing, BrokenStructuresEndTheWalkWithAReason) {
  // A sequence holding something other than items.
  DicomWriter w(true, true);
  w.BeginSequence(0x00081140, true);
  w.Text(0x00100010, "PN", "NOT^ANITEM");
  w.ItemHeader(0xFFFEE0DD, 0);
  w.EndSequence();
  TagListing l = List(File(w, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_TRUE(l.ok);
  EXPECT_NE(l.warning.find("holds (0010,0010) where an item belongs"), std::string::npos)
      << l.warning;

  // Sequences nested far deeper than any real file: refused at the limit.
  DicomWriter deep(true, true);
  for (int i = 0; i < 200; ++i) deep.BeginSequence(0x00081140, true).BeginItem(true);
  deep.Text(0x00100010, "PN", "BOTTOM");
  for (int i = 0; i < 200; ++i) deep.EndItem().EndSequence();
  l = List(File(deep, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_TRUE(l.ok);
  EXPECT_NE(l.warning.find("nest deeper than 64"), std::string::npos) << l.warning;

  // Not DICOM at all, and nothing at all.
  const std::string text = "This is a report, not an image.\n";
  EXPECT_FALSE(List(Bytes(text.begin(), text.end())).ok);
  EXPECT_FALSE(List(Bytes()).ok);
  EXPECT_FALSE(List(Bytes(132, 0)).ok);
}

TEST(TagListing, TextIsDecodedByTheSpecificCharacterSet) {
  struct Case {
    std::string charset, bytes, utf8;
  };
  const Case cases[] = {
      {"", "Buc^J\xe9r\xf4me", "Buc^J\xc3\xa9r\xc3\xb4me"},  // default: read as Latin-1
      {"ISO_IR 100", "Buc^J\xe9r\xf4me", "Buc^J\xc3\xa9r\xc3\xb4me"},
      {"ISO_IR 192", "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe6\x9d\xb1",
       "Wang^XiaoDong=\xe7\x8e\x8b^\xe5\xb0\x8f\xe6\x9d\xb1"},
      {"ISO_IR 144",
       "\xbb\xee\xda"
       "ce\xdc\xd1\xe3\xe0\xd3",
       "\xd0\x9b\xd1\x8e\xd0\xba"
       "ce\xd0\xbc\xd0\xb1\xd1\x83\xd1\x80\xd0\xb3"},
      // Japanese: JIS X 0208 behind ESC $ B, back to ASCII with ESC ( B.
      {"\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B",
       "Yamada^Tarou=\xe5\xb1\xb1\xe7\x94\xb0^\xe5\xa4\xaa\xe9\x83\x8e"},
      // Korean: KS X 1001 in G1 behind ESC $ ) C.
      {"\\ISO 2022 IR 149", "Hong^Gildong=\x1b$)C\xfb\xf3^\x1b$)C\xd1\xce\xd4\xd7",
       "Hong^Gildong=\xe6\xb4\xaa^\xe5\x90\x89\xe6\xb4\x9e"},
      // An invalid UTF-8 byte is replaced, not dropped.
      {"ISO_IR 192",
       "A\xff"
       "B",
       "A\xef\xbf\xbd"
       "B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset);
    DicomWriter w(true, true);
    if (!c.charset.empty()) w.Text(0x00080005, "CS", c.charset);
    w.Text(0x00080060, "CS", "\xe9");  // codes are not in the set: Latin-1
    w.Text(0x00100010, "PN", c.bytes);
    const auto es = List(File(w, dicomwriter::kExplicitVRLittleEndian)).elements;
    EXPECT_EQ(Value(es, 0x00100010), c.utf8);
    EXPECT_EQ(Value(es, 0x00080060), "\xc3\xa9");
  }
  EXPECT_EQ(SanitizeUtf8("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");  // overlong
  EXPECT_TRUE(CharsetDecoder::Known({"", "ISO 2022 IR 87"}));
  EXPECT_FALSE(CharsetDecoder::Known({"ISO_IR 999"}));
}

TEST(DataDictionary, GeneratedFromDcmtk) {
  const DictionaryInfo* pn = LookupTag(0x00100010);
  ASSERT_TRUE(pn);
  EXPECT_STREQ(pn->vr, "PN");
  EXPECT_STREQ(pn->keyword, "PatientName");
  // Retired elements keep their keyword without DCMTK's prefix.
  const DictionaryInfo* retired = LookupTag(0x00081000);
  ASSERT_TRUE(retired);
  EXPECT_TRUE(retired->retired);
  EXPECT_STREQ(retired->keyword, "NetworkID");
  // Repeating groups: even groups only (odd ones are private).
  ASSERT_TRUE(LookupTag(0x601E3000));
  EXPECT_STREQ(LookupTag(0x601E3000)->keyword, "OverlayData");
  EXPECT_EQ(LookupTag(0x60013000), nullptr);
  EXPECT_STREQ(LookupTag(0x50040005)->keyword, "CurveDimensions");
  EXPECT_STREQ(LookupTag(0x7FE00010)->vr, "px");
  EXPECT_STREQ(LookupTag(0x00280106)->vr, "xs");
  EXPECT_EQ(LookupTag(0x00080001 + 0x0EEE0000), nullptr);
  EXPECT_EQ(TagOfKeyword("SOPInstanceUID"), 0x00080018u);
  EXPECT_EQ(TagOfKeyword("NoSuchKeyword"), 0xFFFFFFFFu);
  const DictionaryInfo* priv = LookupPrivate(0x0009, "GEMS_IDEN_01", 0x01);
  ASSERT_TRUE(priv);
  EXPECT_STREQ(priv->vr, "LO");
  EXPECT_EQ(LookupPrivate(0x0009, "NOBODY", 0x01), nullptr);
  // Thousands of entries: it was generated, not typed.
  int known = 0;
  for (uint32_t e = 0; e < 0x10000; ++e) known += LookupTag(0x00180000 | e) != nullptr;
  EXPECT_GT(known, 800);
}

TEST(TagListing, SampleFilesListWithoutWarnings) {
  REQUIRE_SAMPLES();
  // Files that are damaged on purpose say so; the others read cleanly.
  const char* clean[] = {
      "CT_small.dcm", "MR_small_bigendian.dcm", "ExplVR_BigEndNoMeta.dcm", "rtplan.dcm",
      "test-SR.dcm",  "UN_sequence.dcm",        "nested_priv_SQ.dcm"};
  for (const char* name : clean) {
    const TagListing l = ReadTagListing(testsupport::SamplePath(name));
    EXPECT_TRUE(l.ok) << name << ": " << l.error;
    EXPECT_EQ(l.warning, "") << name;
    EXPECT_GT(l.count, 5u) << name;
  }
  const TagListing cut = ReadTagListing(testsupport::SamplePath("rtplan_truncated.dcm"));
  EXPECT_TRUE(cut.ok);
  EXPECT_NE(cut.warning, "");
  EXPECT_FALSE(ReadTagListing(testsupport::SamplePath("nonexistent.dcm")).ok);
}

}  // namespace

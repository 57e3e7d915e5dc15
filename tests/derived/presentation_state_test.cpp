// Presentation states written and read back: every graphic kind and unit,
// texts, references, window and layout survive; malformed parts of a state
// are left out with a reason, and a damaged file is refused, never trusted.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include <functional>

#include "derived/PresentationState.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

std::string ImageFile(const std::string& dir) {
  fixtures::ImageSpec spec;
  spec.columns = 64;
  spec.rows = 48;
  return fixtures::WriteFile(dir, "image.dcm", fixtures::SmallImageFile(spec));
}

TImageRef Ref(const std::string& uid, std::vector<int32_t> frames = {}) {
  return {"1.2.840.10008.5.1.4.1.1.2", uid, std::move(frames)};
}

TPresentationState Sample() {
  TPresentationState ps;
  ps.label = "MEASURES";
  ps.description = "Lengths and regions";
  ps.creator = "DOE^JANE";
  ps.series = {{"1.2.3.4.5", {Ref("1.2.3.4.5.1"), Ref("1.2.3.4.5.2", {2, 3})}}};
  TGraphicAnnotation a;
  a.layer = "MEASURES";
  a.images = {Ref("1.2.3.4.5.1")};
  a.graphics = {
      {TGraphicType::Polyline, TGraphicUnits::Pixel, {{1.5, 2.5}, {30.25, 40}}, false},
      {TGraphicType::Polyline,
       TGraphicUnits::Pixel,
       {{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}},
       true},
      {TGraphicType::Ellipse,
       TGraphicUnits::Pixel,
       {{10, 20}, {30, 20}, {20, 15}, {20, 25}},
       false},
      {TGraphicType::Circle, TGraphicUnits::Display, {{0.5, 0.5}, {0.625, 0.5}}, false},
      {TGraphicType::Point, TGraphicUnits::Pixel, {{7, 8}}, false},
      {TGraphicType::Interpolated,
       TGraphicUnits::Display,
       {{0.125, 0.125}, {0.25, 0.375}, {0.5, 0.125}},
       false},
  };
  TTextObject anchored;
  anchored.text = "12.50 mm";
  anchored.hasAnchor = true;
  anchored.anchor = {30.25, 40};
  anchored.anchorVisible = true;
  TTextObject boxed;
  boxed.text = "Läsion ✓";
  boxed.hasBox = true;
  boxed.boxUnits = TGraphicUnits::Display;
  boxed.boxTopLeft = {0.125, 0.125};
  boxed.boxBottomRight = {0.5, 0.25};
  TTextObject both = anchored;
  both.hasBox = true;
  both.boxTopLeft = {1, 2};
  both.boxBottomRight = {20, 9};
  both.anchorVisible = false;
  a.texts = {anchored, boxed, both};
  TGraphicAnnotation b;
  b.layer = "FRAMES";
  b.images = {Ref("1.2.3.4.5.2", {3})};
  b.graphics = {{TGraphicType::Polyline, TGraphicUnits::Pixel, {{1, 1}, {5, 1}, {5, 9}}, false}};
  ps.annotations = {a, b};
  const auto window = [](std::vector<TImageRef> images, double center, double width,
                         const char* explanation) {
    TVoiWindow w;
    w.images = std::move(images);
    w.center = center, w.width = width, w.explanation = explanation;
    return w;
  };
  ps.windows = {window({Ref("1.2.3.4.5.1")}, 40, 400, "SOFT"),
                window({Ref("1.2.3.4.5.2", {2, 3})}, -600, 1500, "")};
  TDisplayedArea area;
  area.right = 64, area.bottom = 48;
  ps.areas = {area};
  ps.rotation = 90;
  ps.horizontalFlip = true;
  return ps;
}

TEST(PresentationState, RoundTripKeepsEveryPart) {
  const std::string dir = testsupport::TempDir("ps_roundtrip");
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(ImageFile(dir), source, why)) << why;
  EXPECT_EQ(source.studyInstanceUid, "1.2.3.4");
  EXPECT_EQ(source.patientName, "DOE^JOHN");
  EXPECT_EQ(source.columns, 64);

  TPresentationState ps = Sample();
  const std::string out = dir + "/state.dcm";
  ASSERT_TRUE(WritePresentationState(ps, source, out, why)) << why;
  TPresentationState back;
  ASSERT_TRUE(ReadPresentationState(out, back, why)) << why;
  EXPECT_TRUE(back.skipped.empty()) << back.skipped.front();

  EXPECT_EQ(back.sopInstanceUid, ps.sopInstanceUid);
  EXPECT_EQ(back.studyInstanceUid, "1.2.3.4");
  EXPECT_NE(back.seriesInstanceUid, "1.2.3.4.5");
  EXPECT_FALSE(back.colour);
  EXPECT_EQ(back.label, "MEASURES");
  EXPECT_EQ(back.description, ps.description);
  EXPECT_EQ(back.creator, "DOE^JANE");
  EXPECT_EQ(back.creationDate.size(), 8u);
  ASSERT_EQ(back.series.size(), 1u);
  EXPECT_EQ(back.series[0].seriesInstanceUid, "1.2.3.4.5");
  EXPECT_EQ(back.series[0].images, ps.series[0].images);
  ASSERT_EQ(back.annotations.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(back.annotations[i].layer, ps.annotations[i].layer);
    EXPECT_EQ(back.annotations[i].images, ps.annotations[i].images);
    EXPECT_EQ(back.annotations[i].graphics, ps.annotations[i].graphics) << i;
    EXPECT_EQ(back.annotations[i].texts, ps.annotations[i].texts) << i;
  }
  // Both layers the annotations name exist.
  ASSERT_EQ(back.layers.size(), 2u);
  EXPECT_EQ(back.layers[0].name, "MEASURES");
  EXPECT_EQ(back.layers[1].name, "FRAMES");
  ASSERT_EQ(back.windows.size(), 2u);
  EXPECT_DOUBLE_EQ(back.windows[0].center, 40);
  EXPECT_DOUBLE_EQ(back.windows[0].width, 400);
  EXPECT_EQ(back.windows[0].explanation, "SOFT");
  EXPECT_EQ(back.windows[1].images, ps.windows[1].images);
  EXPECT_DOUBLE_EQ(back.windows[1].center, -600);
  ASSERT_EQ(back.areas.size(), 1u);
  EXPECT_EQ(back.areas[0].right, 64);
  EXPECT_EQ(back.areas[0].bottom, 48);
  EXPECT_EQ(back.rotation, 90);
  EXPECT_TRUE(back.horizontalFlip);

  // The object carries the images' patient, study and rescale, and the
  // modules a grey state needs.
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  DcmDataset& ds = *file.getDataset();
  OFString v;
  ds.findAndGetOFString(DCM_SOPClassUID, v);
  EXPECT_EQ(v, kGrayscalePresentationStateClass);
  ds.findAndGetOFString(DCM_Modality, v);
  EXPECT_EQ(v, "PR");
  ds.findAndGetOFString(DCM_PatientID, v);
  EXPECT_EQ(v, "123456");
  ds.findAndGetOFString(DCM_PresentationLUTShape, v);
  EXPECT_EQ(v, "IDENTITY");
  file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, v);
  EXPECT_EQ(v.c_str(), back.sopInstanceUid);

  // A second save is a new object in a new series.
  TPresentationState again = Sample();
  ASSERT_TRUE(WritePresentationState(again, source, dir + "/again.dcm", why)) << why;
  EXPECT_NE(again.sopInstanceUid, ps.sopInstanceUid);
  EXPECT_NE(again.seriesInstanceUid, ps.seriesInstanceUid);
}

TEST(PresentationState, ColourStateHasAProfileAndNoWindow) {
  const std::string dir = testsupport::TempDir("ps_colour");
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(ImageFile(dir), source, why)) << why;
  TPresentationState ps = Sample();
  ps.colour = true;
  const std::string out = dir + "/colour.dcm";
  ASSERT_TRUE(WritePresentationState(ps, source, out, why)) << why;
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  DcmDataset& ds = *file.getDataset();
  OFString v;
  ds.findAndGetOFString(DCM_SOPClassUID, v);
  EXPECT_EQ(v, kColorPresentationStateClass);
  const Uint8* icc = nullptr;
  unsigned long size = 0;
  ASSERT_TRUE(ds.findAndGetUint8Array(DCM_ICCProfile, icc, &size).good());
  ASSERT_GE(size, 132u);
  // The profile's own size field and signature.
  EXPECT_EQ((uint32_t(icc[0]) << 24 | uint32_t(icc[1]) << 16 | uint32_t(icc[2]) << 8 | icc[3]),
            uint32_t(size) & ~1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(icc) + 36, 4), "acsp");
  EXPECT_FALSE(ds.tagExists(DCM_SoftcopyVOILUTSequence));
  EXPECT_FALSE(ds.tagExists(DCM_PresentationLUTShape));
  TPresentationState back;
  ASSERT_TRUE(ReadPresentationState(out, back, why)) << why;
  EXPECT_TRUE(back.colour);
  EXPECT_EQ(back.annotations.size(), 2u);
}

TEST(PresentationState, WriteRefusesWhatTheStandardDoesNotAllow) {
  const std::string dir = testsupport::TempDir("ps_refuse");
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(ImageFile(dir), source, why)) << why;
  TPresentationState ps = Sample();
  ps.annotations[0].graphics.push_back(
      {TGraphicType::Ellipse, TGraphicUnits::Pixel, {{1, 1}, {2, 2}, {3, 3}}, false});
  EXPECT_FALSE(WritePresentationState(ps, source, dir + "/bad.dcm", why));
  EXPECT_NE(why.find("ELLIPSE"), std::string::npos) << why;
  TPresentationState none = Sample();
  none.series.clear();
  EXPECT_FALSE(WritePresentationState(none, source, dir + "/none.dcm", why));
  // A folder as the target, or one that does not exist: refused with a reason.
  TPresentationState fine = Sample();
  EXPECT_FALSE(WritePresentationState(fine, source, dir, why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(WritePresentationState(fine, source, dir + "/missing/state.dcm", why));
  EXPECT_NE(why.find("missing"), std::string::npos) << why;
  // Nothing half-written is left behind.
  EXPECT_FALSE(testsupport::HaveSample(dir + "/bad.dcm"));
  EXPECT_FALSE(testsupport::HaveSample(dir + "/none.dcm"));
}

// Graphic objects whose counts, units or types do not hold together are left
// out one by one with a reason; the rest of the state stays usable.
TEST(PresentationState, MalformedPartsAreSkippedWithAReason) {
  const std::string dir = testsupport::TempDir("ps_malformed");
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(ImageFile(dir), source, why)) << why;
  TPresentationState ps = Sample();
  const std::string good = dir + "/good.dcm";
  ASSERT_TRUE(WritePresentationState(ps, source, good, why)) << why;

  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(good.c_str()).good());
  DcmSequenceOfItems* anns = nullptr;
  ASSERT_TRUE(file.getDataset()->findAndGetSequence(DCM_GraphicAnnotationSequence, anns).good());
  DcmSequenceOfItems* graphics = nullptr;
  ASSERT_TRUE(anns->getItem(0)->findAndGetSequence(DCM_GraphicObjectSequence, graphics).good());
  const Float32 three[3] = {1, 2, 3};
  graphics->getItem(0)->putAndInsertFloat32Array(DCM_GraphicData, three, 3);   // odd count
  graphics->getItem(1)->putAndInsertUint16(DCM_NumberOfGraphicPoints, 60000);  // beyond the data
  graphics->getItem(2)->putAndInsertString(DCM_GraphicAnnotationUnits, "MM");
  graphics->getItem(3)->putAndInsertString(DCM_GraphicType, "SPLINE");
  DcmSequenceOfItems* texts = nullptr;
  ASSERT_TRUE(anns->getItem(0)->findAndGetSequence(DCM_TextObjectSequence, texts).good());
  texts->getItem(0)->findAndDeleteElement(DCM_AnchorPointAnnotationUnits);  // no box, no anchor
  file.getDataset()->putAndInsertUint16(DCM_ImageRotation, 45);
  const std::string bad = dir + "/bad.dcm";
  ASSERT_TRUE(file.saveFile(bad.c_str(), EXS_LittleEndianExplicit).good());

  TPresentationState back;
  ASSERT_TRUE(ReadPresentationState(bad, back, why)) << why;
  ASSERT_EQ(back.annotations.size(), 2u);
  EXPECT_EQ(back.annotations[0].graphics.size(), 2u);  // the point and the interpolated curve
  EXPECT_EQ(back.annotations[0].texts.size(), 2u);
  EXPECT_EQ(back.annotations[1].graphics.size(), 1u);
  EXPECT_EQ(back.rotation, 0);
  ASSERT_EQ(back.skipped.size(), 6u);
  const auto mentions = [&](const std::string& word) {
    for (const std::string& s : back.skipped)
      if (s.find(word) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(mentions("3 values")) << back.skipped[0];
  EXPECT_TRUE(mentions("60000 points"));
  EXPECT_TRUE(mentions("'MM'"));
  EXPECT_TRUE(mentions("'SPLINE'"));
  EXPECT_TRUE(mentions("neither a box nor an anchor"));
  EXPECT_TRUE(mentions("45 degrees"));
}

TEST(PresentationState, DamagedOrForeignFilesAreRefused) {
  const std::string dir = testsupport::TempDir("ps_damaged");
  TSourceInfo source;
  std::string why;
  const std::string image = ImageFile(dir);
  ASSERT_TRUE(ReadSourceInfo(image, source, why)) << why;
  TPresentationState ps;
  EXPECT_FALSE(ReadPresentationState(image, ps, why));
  EXPECT_NE(why.find("not a presentation state"), std::string::npos) << why;
  EXPECT_FALSE(ReadPresentationState(dir + "/missing.dcm", ps, why));
  EXPECT_FALSE(ReadPresentationState(dir, ps, why));

  TPresentationState sample = Sample();
  const std::string good = dir + "/good.dcm";
  ASSERT_TRUE(WritePresentationState(sample, source, good, why)) << why;
  const fixtures::Bytes bytes = fixtures::ReadFile(good);
  // Every truncation is read safely: refused, or read as far as it holds.
  for (size_t size = 0; size < bytes.size(); size += 97) {
    const std::string cut = fixtures::WriteFile(dir, "cut.dcm", fixtures::Truncated(bytes, size));
    TPresentationState p;
    std::string reason;
    if (!ReadPresentationState(cut, p, reason)) {
      EXPECT_FALSE(reason.empty());
    }
  }

  // Graphic data that claims more bytes than the file holds.
  using dicomwriter::DicomWriter;
  DicomWriter w;
  w.Text(0x00080016, "UI", kGrayscalePresentationStateClass)
      .Text(0x00080018, "UI", "2.25.7")
      .BeginSequence(0x00081115)
      .BeginItem()
      .BeginSequence(0x00081140)
      .BeginItem()
      .Text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2")
      .Text(0x00081155, "UI", "1.2.3.4.5.1")
      .EndItem()
      .EndSequence()
      .Text(0x0020000E, "UI", "1.2.3.4.5")
      .EndItem()
      .EndSequence()
      .BeginSequence(0x00700001, true)
      .BeginItem(true)
      .BeginSequence(0x00700009, true)
      .BeginItem(true)
      .Text(0x00700005, "CS", "PIXEL")
      .US(0x00700020, {2})
      .US(0x00700021, {2})
      .ElementWithLength(0x00700022, "FL", 0x7FFFFFF0, {})
      .EndItem()
      .EndSequence()
      .EndItem()
      .EndSequence();
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = kGrayscalePresentationStateClass;
  options.sopInstanceUid = "2.25.7";
  const std::string huge =
      fixtures::WriteFile(dir, "huge.dcm", dicomwriter::BuildDicomFile(w, options));
  TPresentationState p;
  std::string reason;
  if (ReadPresentationState(huge, p, reason)) {
    for (const TGraphicAnnotation& a : p.annotations) EXPECT_TRUE(a.graphics.empty());
  } else {
    EXPECT_FALSE(reason.empty());
  }
}

}  // namespace

namespace {

// A state written by the viewer, then given the parts other producers write.
std::string StateWith(const std::string& dir, const std::function<void(DcmDataset&)>& edit) {
  TSourceInfo source;
  std::string why;
  EXPECT_TRUE(ReadSourceInfo(ImageFile(dir), source, why)) << why;
  TPresentationState ps = Sample();
  const std::string written = dir + "/written.dcm";
  EXPECT_TRUE(WritePresentationState(ps, source, written, why)) << why;
  DcmFileFormat file;
  EXPECT_TRUE(file.loadFile(written.c_str()).good());
  edit(*file.getDataset());
  const std::string out = dir + "/edited.dcm";
  EXPECT_TRUE(file.saveFile(out.c_str(), EXS_LittleEndianExplicit).good());
  return out;
}

void PutLut(DcmItem& item, Uint16 entries, Sint16 first, Uint16 bits,
            const std::vector<Uint16>& data) {
  auto* desc = new DcmSignedShort(DcmTag(DCM_LUTDescriptor, EVR_SS));
  const Sint16 d[3] = {Sint16(entries), first, Sint16(bits)};
  desc->putSint16Array(d, 3);
  item.insert(desc, true);
  item.putAndInsertUint16Array(DCM_LUTData, data.data(), static_cast<unsigned long>(data.size()));
}

void PutOverlay(DcmItem& ds, Uint16 group, Uint16 rows, Uint16 columns, size_t bytes) {
  ds.putAndInsertUint16(DcmTagKey(group, 0x0010), rows);
  ds.putAndInsertUint16(DcmTagKey(group, 0x0011), columns);
  const Sint16 origin[2] = {3, 4};
  auto* o = new DcmSignedShort(DcmTag(DcmTagKey(group, 0x0050), EVR_SS));
  o->putSint16Array(origin, 2);
  ds.insert(o, true);
  ds.putAndInsertUint16(DcmTagKey(group, 0x0100), 1);
  ds.putAndInsertUint16(DcmTagKey(group, 0x0102), 0);
  std::vector<Uint8> data(bytes, 0);
  if (!data.empty()) data[0] = 0x05;  // pixels 0 and 2 of the first row
  auto* e = new DcmOtherByteOtherWord(DcmTag(DcmTagKey(group, 0x3000), EVR_OB));
  e->putUint8Array(data.data(), static_cast<unsigned long>(data.size()));
  ds.insert(e, true);
}

}  // namespace

// Lookup tables, shutters, size modes and overlays as another producer
// writes them come back as plain data.
TEST(PresentationState, TablesShuttersAreasAndOverlaysAreRead) {
  const std::string dir = testsupport::TempDir("ps_foreign_parts");
  const std::string path = StateWith(dir, [](DcmDataset& ds) {
    ds.putAndInsertString(DCM_Manufacturer, "Other Viewer Inc");
    DcmItem* mod = nullptr;
    ds.findOrCreateSequenceItem(DCM_ModalityLUTSequence, mod, -2);
    PutLut(*mod, 4, -2, 12, {0, 100, 200, 4095});
    DcmSequenceOfItems* voi = nullptr;
    ds.findAndGetSequence(DCM_SoftcopyVOILUTSequence, voi);
    DcmItem* lut = nullptr;
    voi->getItem(0)->findOrCreateSequenceItem(DCM_VOILUTSequence, lut, -2);
    PutLut(*lut, 3, -1024, 8, {0, 128, 255});
    ds.putAndInsertString(DCM_PresentationLUTShape, "INVERSE");
    ds.putAndInsertString(DCM_ShutterShape, "RECTANGULAR\\CIRCULAR\\POLYGONAL\\BITMAP");
    ds.putAndInsertString(DCM_ShutterLeftVerticalEdge, "5");
    ds.putAndInsertString(DCM_ShutterRightVerticalEdge, "60");
    ds.putAndInsertString(DCM_ShutterUpperHorizontalEdge, "2");
    ds.putAndInsertString(DCM_ShutterLowerHorizontalEdge, "40");
    ds.putAndInsertString(DCM_CenterOfCircularShutter, "24\\32");
    ds.putAndInsertString(DCM_RadiusOfCircularShutter, "20");
    ds.putAndInsertString(DCM_VerticesOfThePolygonalShutter, "1\\1\\1\\64\\48\\32");
    ds.putAndInsertUint16(DCM_ShutterOverlayGroup, 0x6002);
    PutOverlay(ds, 0x6002, 2, 4, 1);
    const Uint16 lab[3] = {65535, 32896, 32896};  // white
    ds.putAndInsertUint16Array(DCM_ShutterPresentationColorCIELabValue, lab, 3);
    ds.putAndInsertUint16(DCM_ShutterPresentationValue, 0x8000);
    PutOverlay(ds, 0x6000, 2, 8, 2);
    ds.putAndInsertString(DcmTagKey(0x6000, 0x1001), "MEASURES");
    ds.putAndInsertString(DcmTagKey(0x6004, 0x1001), "MEASURES");  // the image's plane
    DcmSequenceOfItems* areas = nullptr;
    ds.findAndGetSequence(DCM_DisplayedAreaSelectionSequence, areas);
    DcmItem* area = areas->getItem(0);
    area->putAndInsertString(DCM_PresentationSizeMode, "MAGNIFY");
    area->putAndInsertFloat32(DCM_PresentationPixelMagnificationRatio, 2.5f);
    area->putAndInsertString(DCM_PresentationPixelSpacing, "0.25\\0.5");
    area->putAndInsertString(DCM_PresentationPixelAspectRatio, "2\\1");
  });
  TPresentationState ps;
  std::string why;
  ASSERT_TRUE(ReadPresentationState(path, ps, why)) << why;
  EXPECT_TRUE(ps.skipped.empty()) << ps.skipped.front();
  EXPECT_EQ(ps.manufacturer, "Other Viewer Inc");
  ASSERT_TRUE(ps.hasModalityLut);
  EXPECT_EQ(ps.modalityLut.first, -2);
  EXPECT_EQ(ps.modalityLut.bits, 12);
  EXPECT_EQ(ps.modalityLut.data, (std::vector<uint16_t>{0, 100, 200, 4095}));
  ASSERT_EQ(ps.windows.size(), 2u);
  ASSERT_TRUE(ps.windows[0].hasLut);
  EXPECT_EQ(ps.windows[0].lut.first, -1024);
  EXPECT_EQ(ps.windows[0].lut.data, (std::vector<uint16_t>{0, 128, 255}));
  EXPECT_EQ(ps.presentationShape, "INVERSE");
  const TShutter& s = ps.shutter;
  EXPECT_TRUE(s.rectangular && s.circular && s.polygonal && s.bitmap);
  EXPECT_EQ(std::vector<int32_t>({s.left, s.right, s.top, s.bottom}),
            std::vector<int32_t>({5, 60, 2, 40}));
  EXPECT_EQ(std::vector<int32_t>({s.centreRow, s.centreColumn, s.radius}),
            std::vector<int32_t>({24, 32, 20}));
  EXPECT_EQ(s.polygon, (std::vector<TPoint2>{{1, 1}, {64, 1}, {32, 48}}));  // (column, row)
  EXPECT_EQ(s.bitmapBits, (std::vector<uint8_t>{1, 0, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s.bitmapOriginRow, 3);
  EXPECT_TRUE(s.hasColour);
  EXPECT_GT(s.red, 250);
  EXPECT_EQ(s.grey, 0x8000);
  // The shutter's plane is no overlay to show; the state's own plane is.
  ASSERT_EQ(ps.overlays.size(), 1u);
  EXPECT_EQ(ps.overlays[0].group, 0x6000);
  EXPECT_EQ(ps.overlays[0].layer, "MEASURES");
  EXPECT_EQ(ps.overlays[0].bits.size(), 16u);
  EXPECT_EQ(ps.overlayLayers.size(), 2u);
  ASSERT_EQ(ps.areas.size(), 1u);
  EXPECT_EQ(ps.areas[0].sizeMode, "MAGNIFY");
  EXPECT_FLOAT_EQ(ps.areas[0].magnification, 2.5);
  EXPECT_DOUBLE_EQ(ps.areas[0].columnSpacing, 0.5);
  EXPECT_EQ(ps.areas[0].aspectVertical, 2);
}

// Tables and shutters that do not hold together are left out, each with its
// reason; a broken VOI table leaves the window it came with.
TEST(PresentationState, BrokenTablesAndShuttersAreSkipped) {
  const std::string dir = testsupport::TempDir("ps_broken_parts");
  const std::string path = StateWith(dir, [](DcmDataset& ds) {
    DcmItem* mod = nullptr;
    ds.findOrCreateSequenceItem(DCM_ModalityLUTSequence, mod, -2);
    PutLut(*mod, 100, 0, 16, {1, 2, 3});  // 100 entries, 3 values
    DcmSequenceOfItems* voi = nullptr;
    ds.findAndGetSequence(DCM_SoftcopyVOILUTSequence, voi);
    DcmItem* lut = nullptr;
    voi->getItem(0)->findOrCreateSequenceItem(DCM_VOILUTSequence, lut, -2);
    PutLut(*lut, 2, 0, 20, {0, 1});  // 20 bits
    ds.putAndInsertString(DCM_PresentationLUTShape, "LOG");
    ds.putAndInsertString(DCM_ShutterShape, "RECTANGULAR\\POLYGONAL\\BITMAP\\STAR");
    ds.putAndInsertString(DCM_ShutterLeftVerticalEdge, "60");
    ds.putAndInsertString(DCM_ShutterRightVerticalEdge, "5");
    ds.putAndInsertString(DCM_ShutterUpperHorizontalEdge, "2");
    ds.putAndInsertString(DCM_ShutterLowerHorizontalEdge, "40");
    ds.putAndInsertString(DCM_VerticesOfThePolygonalShutter, "1\\1\\1\\64\\48");
    ds.putAndInsertUint16(DCM_ShutterOverlayGroup, 0x6002);
    PutOverlay(ds, 0x6002, 100, 100, 4);  // 10000 pixels in 4 bytes
  });
  TPresentationState ps;
  std::string why;
  ASSERT_TRUE(ReadPresentationState(path, ps, why)) << why;
  EXPECT_FALSE(ps.hasModalityLut);
  ASSERT_EQ(ps.windows.size(), 2u);
  EXPECT_FALSE(ps.windows[0].hasLut);
  EXPECT_DOUBLE_EQ(ps.windows[0].width, 400);
  EXPECT_TRUE(ps.presentationShape.empty());
  EXPECT_FALSE(ps.shutter.Any());
  const auto mentions = [&](const std::string& word) {
    for (const std::string& s : ps.skipped)
      if (s.find(word) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(mentions("100 entries with 3 values"));
  EXPECT_TRUE(mentions("20 bits"));
  EXPECT_TRUE(mentions("'LOG'"));
  EXPECT_TRUE(mentions("four ordered edges"));
  EXPECT_TRUE(mentions("three vertices"));
  EXPECT_TRUE(mentions("4 bytes for 10000 pixels"));
  EXPECT_TRUE(mentions("'STAR'"));
  EXPECT_EQ(ps.skipped.size(), 7u);
}

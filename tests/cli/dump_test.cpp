// tavrolen-dicom dump, run as a user would: valid JSON, the header's fields
// under their own names, the exit status.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

struct ToolRun {
  int status;
  std::string out;
};

ToolRun Dump(const std::string& args) {
  ToolRun r;
  r.status = fixtures::RunCommand(
      std::string(TAVROLEN_DICOM_TOOL) + " dump " + args + " 2>/dev/null", &r.out);
  return r;
}

// Evaluates a Python expression over the parsed JSON `d` (strict JSON parser)
// and returns its ascii() text.
std::string Query(const std::string& json, const std::string& expression) {
  // One folder per query: tests run in parallel processes.
  static int count = 0;
  const std::string dir = testsupport::TempDir(
      std::string("cli_query_") + testing::UnitTest::GetInstance()->current_test_info()->name() +
      "_" + std::to_string(++count));
  const std::string path =
      fixtures::WriteFile(dir, "out.json", fixtures::Bytes(json.begin(), json.end()));
  std::string out;
  const int rc = fixtures::RunCommand(
      "/usr/bin/python3 -c \"import json,sys; d=json.load(open(sys.argv[1]), "
      "parse_constant=lambda c: sys.exit(3)); print(ascii((" +
          expression + ")))\" '" + path + "' 2>&1",
      &out);
  EXPECT_EQ(rc, 0) << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

}  // namespace

TEST(DumpCommand, ImageHeaderAsJson) {
  REQUIRE_SAMPLES();
  const ToolRun r = Dump(Quote(testsupport::SamplePath("CT_small.dcm")));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(Query(r.out, "len(d), d[0]['hdrOK'], d[0]['imgOK'], d[0]['messages']"),
            "(1, True, True, [])");
  EXPECT_EQ(Query(r.out, "d[0]['header']['XYZdim'], d[0]['header']['ImageStart']"),
            "([128, 128, 1, 1], 6300)");
  // Every field of the record under its own name, in declaration order: the
  // contract scripts rely on.
  EXPECT_EQ(Query(r.out, "' '.join(d[0]['header'])"),
            "'"
            "XYZdim XYZori XYZmm image_Postion IMAGE_ORIENTATION_PATIENT Rotate180deg Float "
            "RunLengthEncoding GenesisCpt JPEGlosslessCpt JPEGJ2k JPEGlossyCpt "
            "ElscintCompress MinIntensitySet IntenScale IntenIntercept kV mA TR TE spacing "
            "location frame_time SiemensInterleaved SiemensSlices SiemensMosaicX "
            "SiemensMosaicY CompressSz CompressOffset SeriesNum AcquNum ImageNum Monochrome "
            "SamplesPerPixel PlanarConfig ImageStart little_endian Allocbits_per_pixel "
            "Storedbits_per_pixel ImageSz accession PatientIDint VolumeNumber WindowWidth "
            "WindowCenter GenesisPackHdr NamePos StudyDatePos MinIntensity MaxIntensity "
            "RLEredOffset RLEgreenOffset RLEblueOffset RLEredSz RLEgreenSz RLEblueSz "
            "pixel_representation PatientName PatientID PatientSex PatientBirthDate "
            "StudyDate modality serietag AcqTime ImgTime manufacturer Institute_Name "
            "referring_physician performing_physician Study_Instance_UID Series_Instance_UID "
            "Study_ID studydate_formated ImgTime_formated fixed_manufacturer_flag "
            "fixed_manufacturer_name imageType Acquisition_Date Image_Date Study_Time "
            "SeriesDate Series_Time SOP_Class_UID SOP_Instance_UID Study_Description "
            "Series_Description institution_address overlay_rows overlay_columns "
            "overlay_orgin_1 overlay_orgin_2 overlay_bits_allocated overlay_bits_position "
            "overlay_data_bytes overlay_type Body_Part_Examined patientAge "
            "Implementation_Class_UID referenceFile gECATJPEG_table_entries "
            "gECATJPEG_pos_table gECATJPEG_size_table Lut TransferSyntaxUID Pixel FramesAnnounced"
            "'");
  EXPECT_EQ(Query(r.out, "d[0]['header']['PatientName'], d[0]['header']['Lut']"),
            "('CompressedSamples CT1', {'LutSize': 0, 'LutBitsPerPixel': 0, 'LutOffset': 0, "
            "'Lutdata': []})");
  EXPECT_EQ(Query(r.out, "'dicomDirPatients' in d[0], 'error' in d[0]"), "(False, False)");
}

// Overlay bytes as a list of numbers, the table as an object with its entries,
// texts with their padding.
TEST(DumpCommand, OverlayAndLookupTableValues) {
  fixtures::ImageSpec desc;
  desc.patientName = "DOE^JAN";  // odd length: padded with a blank
  fixtures::DicomWriter w;
  fixtures::AddImageHeader(w, desc);
  w.BeginSequence(0x00283010).BeginItem();
  w.US(0x00283002, {3, 100, 16});
  w.OW(0x00283006, {5, 6, 65535});
  w.EndItem().EndSequence();
  w.US(0x60000010, {2});
  w.US(0x60000011, {8});
  w.OB(0x60003000, {0x81, 0x7E});
  fixtures::AddNativePixels(w, desc);
  const std::string file =
      fixtures::WriteFile(testsupport::TempDir("cli_dump_values"), "overlay.dcm",
                          fixtures::Part10(w, fixtures::NativeSyntax(true, true)));
  const ToolRun r = Dump(Quote(file));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(Query(r.out,
                  "d[0]['imgOK'], d[0]['header']['overlay_rows'], "
                  "d[0]['header']['overlay_data_bytes'], d[0]['header']['Lut'], "
                  "d[0]['header']['PatientName']"),
            "(True, 2, [129, 126], {'LutSize': 3, 'LutBitsPerPixel': 16, 'LutOffset': 100, "
            "'Lutdata': [5, 6, 65535]}, 'DOE JAN')");
}

TEST(DumpCommand, FrameTablesDirectoriesAndMessages) {
  REQUIRE_SAMPLES();
  const std::string rle = Quote(testsupport::SamplePath("SC_rgb_rle_2frame.dcm"));
  const std::string jpeg = Quote(testsupport::SamplePath("SC_rgb_jpeg.dcm"));
  const std::string dir = Quote(testsupport::SamplePath("dicomdirtests/DICOMDIR"));
  const std::string rtdose = Quote(testsupport::SamplePath("rtdose.dcm"));
  const ToolRun r = Dump(rle + " " + dir + " " + rtdose);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(Query(r.out,
                  "d[0]['header']['gECATJPEG_table_entries'], "
                  "len(d[0]['header']['gECATJPEG_pos_table'])"),
            "(2, 2)");
  EXPECT_EQ(Query(r.out,
                  "len(d[1]['dicomDirPatients']), "
                  "d[1]['dicomDirPatients'][0]['studies'][0]['serieses'][0]['images'][0]"
                  "['imagePath'], d[1]['hdrOK']"),
            "(2, '77654033\\\\CR1\\\\6154 ', False)");
  // A 32-bit dose grid: read without a message, its pixel module and syntax shown.
  EXPECT_EQ(Query(r.out,
                  "d[2]['messages'], d[2]['imgOK'], d[2]['header']['Pixel']['bitsAllocated'], "
                  "d[2]['header']['TransferSyntaxUID']"),
            "([], True, 32, '1.2.840.10008.1.2')");

  const ToolRun nt = Dump(jpeg + " --no-frame-tables");
  ASSERT_EQ(nt.status, 0);
  EXPECT_EQ(Query(nt.out, "d[0]['hdrOK'], d[0]['imgOK'], d[0]['header']['JPEGlossyCpt']"),
            "(True, False, False)");
}

// Exit status 0 whenever the files could be examined, whatever their
// verdicts; 1 when one could not; 2 for a wrong command line.
TEST(DumpCommand, ExitStatusAndUnreadableFiles) {
  const std::string dir = testsupport::TempDir("cli_dump");
  fixtures::Bytes noise(1000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i * 13 + 5);
  const std::string bad = fixtures::WriteFile(dir, "noise.dcm", noise);
  // A name that is not UTF-8 still gives valid JSON.
  const std::string odd = fixtures::WriteFile(dir, "caf\xe9.dcm", fixtures::SmallImageFile());

  // An orientation that does not convert fails the read, but the file was
  // examined: its verdict carries the error, the status stays 0.
  fixtures::DicomWriter w;
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0.0.0");
  w.OB(0x00111010, fixtures::Bytes(300, 0));
  w.OW(0x7FE00010, {0});
  const std::string orientation = fixtures::WriteFile(
      dir, "orientation.dcm", fixtures::Part10(w, fixtures::NativeSyntax(true, true)));

  const ToolRun ok = Dump(Quote(bad) + " " + Quote(odd) + " " + Quote(orientation));
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(Query(ok.out, "d[0]['hdrOK'], d[0]['imgOK'], d[1]['imgOK'], d[1]['file'][-8:]"),
            "(False, False, True, 'caf\\xe9.dcm')");
  EXPECT_NE(ok.out.find("caf\\u00e9.dcm"), std::string::npos);
  EXPECT_EQ(Query(ok.out, "d[2]['hdrOK'], d[2]['imgOK'], d[2]['error']"),
            "(False, False, \"'0.0.0' is not a valid floating point value\")");

  const ToolRun missing = Dump(Quote(dir + "/none.dcm") + " " + Quote(bad));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(Query(missing.out, "d[0]['error'], len(d)"), "('No such file', 2)");
  const ToolRun folder = Dump(Quote(dir));
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(Query(folder.out, "'error' in d[0], d[0]['hdrOK']"), "(True, False)");

  EXPECT_EQ(Dump("").status, 2);
  EXPECT_EQ(Dump("--frames " + Quote(bad)).status, 2);
}

// The read window, the value readers and the text helpers on exact bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dicom/dicom_values.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

struct Messages {
  std::vector<std::string> texts;
  DicomMessageSink sink() {
    return [this](const std::string& t) { texts.push_back(t); };
  }
};

// A window over the value bytes alone, positioned at their start.
struct Value {
  explicit Value(const std::string& s) : bytes(Bytes(s)), src(bytes.data(), bytes.size()), w(src) {}
  std::vector<uint8_t> bytes;
  MemoryByteSource src;
  ReadWindow w;
};

}  // namespace

TEST(ReadWindow, HoldsAtMostTheRestOfTheFileAndReloadsWhereNeeded) {
  const int64_t size = 200000;
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31);
  const std::string path = fixtures::WriteFile(testsupport::TempDir("read_window"), "f.bin", data);
  FileByteSource file;
  ASSERT_TRUE(file.Open(path));
  MemoryByteSource memory(data.data(), data.size());
  for (DicomByteSource* src :
       {static_cast<DicomByteSource*>(&file), static_cast<DicomByteSource*>(&memory)}) {
    ReadWindow w(*src);
    w.Fill(size - 100);
    EXPECT_EQ(w.WindowLength(), 100u);
    // A small first block; a jump elsewhere does not grow it.
    w.Fill(0);
    EXPECT_EQ(w.WindowLength(), ReadWindow::kFirstSize);

    // A 4-byte read 3 bytes before the end fails without reading.
    w.Seek(size - 3);
    uint32_t v = 99;
    EXPECT_FALSE(ReadValueLong(w, true, v));
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(w.Position(), size - 3);
    EXPECT_TRUE(ReadValueWord(w, true, v));

    // Reads that cross the window's end continue in the next block, which
    // grows while the reads carry on, up to kSize, and holds the right bytes.
    w.Fill(0);
    w.Seek(ReadWindow::kFirstSize - 2);
    uint8_t buf[8];
    ASSERT_EQ(w.ReadBytes(8, buf), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], data[ReadWindow::kFirstSize - 2 + i]);
    EXPECT_EQ(w.WindowStart(), int64_t(ReadWindow::kFirstSize));
    EXPECT_EQ(w.WindowLength(), 4 * ReadWindow::kFirstSize);
    std::string all;
    w.Seek(0);
    ASSERT_EQ(w.ReadBytes(size_t(size), all), size_t(size));
    EXPECT_TRUE(std::equal(all.begin(), all.end(), data.begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
    EXPECT_LE(w.WindowLength(), ReadWindow::kSize);
    w.Fill(0);
    w.Fill(int64_t(w.WindowLength()));
    EXPECT_EQ(w.WindowLength(), ReadWindow::kSize);

    // At the end of the file a read returns what is there.
    w.Seek(size - 5);
    EXPECT_EQ(w.ReadBytes(8, buf), 5u);
    w.Seek(size + 10000);
    EXPECT_EQ(w.ReadBytes(8, buf), 0u);
  }
}

TEST(ReadWindow, FileSourceTellsMissingFromUnreadable) {
  FileByteSource f;
  EXPECT_FALSE(f.Open(testsupport::TempDir("values_missing") + "/nothing.dcm"));
  EXPECT_THROW(f.Open(testsupport::TempDir("a_directory")), EDicomReadError);
}

TEST(ValueReaders, WordsAndLongsInBothByteOrders) {
  Value v("\x34\x12\x78\x56\x34\x12\x01");
  uint32_t x;
  ASSERT_TRUE(ReadValueWord(v.w, true, x));
  EXPECT_EQ(x, 0x1234u);
  v.w.Seek(0);
  ASSERT_TRUE(ReadValueWord(v.w, false, x));
  EXPECT_EQ(x, 0x3412u);
  v.w.Seek(2);
  ASSERT_TRUE(ReadValueLong(v.w, true, x));
  EXPECT_EQ(x, 0x12345678u);
  v.w.Seek(2);
  ASSERT_TRUE(ReadValueLong(v.w, false, x));
  EXPECT_EQ(x, 0x78563412u);
  ASSERT_TRUE(ReadValueByte(v.w, x));
  EXPECT_EQ(x, 1u);
  EXPECT_FALSE(ReadValueByte(v.w, x));
}

TEST(ValueReaders, TextKeepsLengthAndPosition) {
  Value name("DOE^JOHN");
  EXPECT_EQ(ReadElementText(name.w, 8), "DOE JOHN");
  EXPECT_EQ(name.w.Position(), 0);
  Value mr("MR ");
  EXPECT_EQ(ReadElementText(mr.w, 3), "MR ");  // the padding blank stays
  Value uid(std::string("1.2.840.10008\0", 14));
  EXPECT_EQ(ReadElementText(uid.w, 14), "1 2 840 10008 ");
  Value file("IMG\\A_1");
  EXPECT_EQ(ReadElementText(file.w, 7), "IMG\\A 1");
  EXPECT_EQ(ReadElementText(file.w, 7, true), "IMG\\A_1");
  // A value that runs past the end gives what the file holds.
  EXPECT_EQ(ReadElementText(file.w, 0xFFFFFFF0u), "IMG\\A 1");
  EXPECT_EQ(ReadElementText(file.w, 0), "");
}

TEST(ValueReaders, TimeTurnsSeparatorsIntoColons) {
  Value t("101530.250 ");
  EXPECT_EQ(ReadElementTime(t.w, 11), "101530:250 ");
  Value last("1015.");
  EXPECT_EQ(ReadElementTime(last.w, 5), "1015 ");
}

TEST(ValueReaders, IntegerFromSignsAndDigits) {
  const struct {
    std::string value;
    int expected;
  } cases[] = {{"12", 12},  {"+7", 7},   {"1.5", 15},        {"  ", -1},
               {"-3 ", -3}, {"1-2", -1}, {"99999999999", -1}};
  for (const auto& c : cases) {
    Value v(c.value);
    int dest = -1;
    EXPECT_TRUE(ReadElementInteger(v.w, uint32_t(c.value.size()), dest)) << c.value;
    EXPECT_EQ(dest, c.expected) << c.value;
    EXPECT_EQ(v.w.Position(), int64_t(c.value.size()));
  }
  Value past("12");
  int dest = 5;
  EXPECT_FALSE(ReadElementInteger(past.w, 4, dest));
  EXPECT_EQ(dest, 5);
  EXPECT_EQ(past.w.Position(), 0);
}

TEST(ValueReaders, NumbersTakeFirstAndSecond) {
  const struct {
    std::string value;
    double first, second;
  } cases[] = {
      {"0.5\\0.5", 0.5, 0.5}, {"-12.5\\4", -12.5, 4.0}, {"3", 3.0, 2.0},   {"1.2E-3", 0.0012, 2.0},
      {"1\\2\\3", 1.0, 2.0},  {" 7 ", 7.0, 2.0},        {"abc", 1.0, 2.0}, {"5\\-", 5.0, 2.0},
  };
  for (const auto& c : cases) {
    Value v(c.value);
    Messages m;
    const ElementNumbers n = ReadElementNumbers(v.w, uint32_t(c.value.size()), m.sink());
    EXPECT_TRUE(n.ok);
    EXPECT_DOUBLE_EQ(n.first, c.first) << c.value;
    EXPECT_DOUBLE_EQ(n.second, c.second) << c.value;
    EXPECT_TRUE(m.texts.empty()) << c.value;
    EXPECT_EQ(v.w.Position(), int64_t(c.value.size()));
  }
  Value empty("");
  const ElementNumbers e = ReadElementNumbers(empty.w, 0, {});
  EXPECT_TRUE(e.ok);
  EXPECT_EQ(e.first, 1.0);
  EXPECT_EQ(e.second, 2.0);

  Value past("1.5");
  EXPECT_FALSE(ReadElementNumbers(past.w, 10, {}).ok);
}

TEST(ValueReaders, NumbersThatDoNotConvertAreReportedAndDefaulted) {
  Messages m;
  Value bad("1.2.3\\4");
  ElementNumbers n = ReadElementNumbers(bad.w, 7, m.sink());
  EXPECT_EQ(n.first, 1.0);
  EXPECT_EQ(n.second, 2.0);
  ASSERT_EQ(m.texts.size(), 1u);
  EXPECT_EQ(m.texts[0], "Unable to convert the string 1.2.3 to a real number");

  Value badSecond("4\\1e");
  n = ReadElementNumbers(badSecond.w, 4, m.sink());
  EXPECT_EQ(n.first, 4.0);
  EXPECT_EQ(n.second, 2.0);
  EXPECT_EQ(m.texts.back(), "Unable to convert the string 1e to a real number");
  // A comma is no decimal mark.
  Value comma("0,5");
  n = ReadElementNumbers(comma.w, 3, m.sink());
  EXPECT_EQ(n.first, 0.0);
  EXPECT_EQ(n.second, 5.0);
  EXPECT_EQ(n.text, "0 5");
}

TEST(ValueReaders, WordListGivesTextAndLargest) {
  Value v(std::string("\x00\x00\x40\x00\x80\x00\x00\x00\x07", 9));
  const WordList l = ReadElementWordList(v.w, true, 9);
  EXPECT_TRUE(l.ok);
  EXPECT_EQ(l.text, "0, 64, 128, 0");
  EXPECT_EQ(l.largest, 128u);
  EXPECT_EQ(v.w.Position(), 9);
  Value past("\x01\x00");
  EXPECT_FALSE(ReadElementWordList(past.w, true, 4).ok);
}

TEST(TextHelpers, DigitsDatesAndSplitting) {
  EXPECT_EQ(DigitsToInteger("12-34"), 0);  // a sign inside the digits
  EXPECT_EQ(DigitsToInteger("PAT-0042"), -42);
  EXPECT_EQ(DigitsToInteger("ID 0042"), 42);
  EXPECT_EQ(DigitsToInteger(""), 0);
  EXPECT_EQ(DigitsToInteger("12345678901"), 0);
  EXPECT_EQ(DigitsToInteger("-17x"), -17);

  EXPECT_EQ(FormatDicomDate("20040119"), "19/01/2004");
  EXPECT_EQ(FormatDicomDate("20040119 "), "19/01/2004");
  EXPECT_EQ(FormatDicomDate("2004"), "2004");
  EXPECT_EQ(FormatDicomDate(""), "");
  EXPECT_EQ(FormatDicomDate("1997.04.24"), "24/04/1997");

  EXPECT_EQ(SplitValues("  1.5  -2 3e2 ", ' '), (std::vector<std::string>{"1.5", "-2", "3e2"}));
  EXPECT_EQ(SplitValues("a,,b\tc", ','), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitValues("\"x y\" z", ' '), (std::vector<std::string>{"x y", "z"}));
  EXPECT_TRUE(SplitValues("   ", ' ').empty());

  double d;
  EXPECT_TRUE(StrToFloat("+1.5", d));
  EXPECT_EQ(d, 1.5);
  EXPECT_TRUE(StrToFloat(".5", d));
  for (const char* bad : {"", "+", "+-1", "1.2.3", "inf", "nan", "0x10", "1e999", "1 "})
    EXPECT_FALSE(StrToFloat(bad, d)) << bad;
  int i;
  EXPECT_TRUE(StrToInt("-2147483648", i));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_FALSE(StrToInt("2147483648", i));
  EXPECT_FALSE(StrToInt("++1", i));
}

TEST(Messages, DefaultSinkReceivesWhatNoSinkWasGivenFor) {
  std::vector<std::string> got;
  SetDefaultDicomMessageSink([&](const std::string& t) { got.push_back(t); });
  EmitDicomMessage({}, "a");
  Messages own;
  EmitDicomMessage(own.sink(), "b");
  SetDefaultDicomMessageSink({});
  EmitDicomMessage({}, "c");
  EXPECT_EQ(got, std::vector<std::string>{"a"});
  EXPECT_EQ(own.texts, std::vector<std::string>{"b"});
}

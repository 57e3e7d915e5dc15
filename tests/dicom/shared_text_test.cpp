#include "dicom/SharedText.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dicom/define_types.h"

namespace {

// Texts no other test uses, so the live count moves only by what a test does.
std::string Unique(const std::string& tag, int k) {
  return "1.2.826.0.1.3680043.10.999." + tag + "." + std::to_string(k);
}

}  // namespace

TEST(SharedText, BehavesAsTheTextItHolds) {
  const std::string uid = Unique("value", 1);
  const TSharedText a = uid;
  const TSharedText b = std::string(uid);  // made separately, same value
  const TSharedText other = Unique("value", 2);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.c_str(), b.c_str()) << "one value is held once";
  EXPECT_NE(a, other);
  EXPECT_EQ(a, uid);
  EXPECT_EQ(uid, a);
  EXPECT_EQ(a, uid.c_str());
  EXPECT_LT(a, other);
  EXPECT_EQ(a.size(), uid.size());
  EXPECT_EQ(a.back(), '1');
  EXPECT_EQ(a + "/x", uid + "/x");
  const std::string& asString = a;
  EXPECT_EQ(asString, uid);

  const TSharedText empty, madeEmpty = std::string();
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty, madeEmpty);
  EXPECT_EQ(empty, "");
  EXPECT_STREQ(empty.c_str(), "");
  EXPECT_NE(empty, a);

  // Texts are bytes: embedded zeros and 8-bit bytes are kept.
  const std::string bytes("A\0\xE9Z", 4);
  const TSharedText held = bytes;
  EXPECT_EQ(held.size(), 4u);
  EXPECT_EQ(held.str(), bytes);
  EXPECT_NE(held, TSharedText("A"));
}

TEST(SharedText, AValueLivesExactlyAsLongAsItsHolders) {
  const size_t before = TSharedText::LiveValues();
  {
    TSharedText a = Unique("life", 1);
    EXPECT_EQ(TSharedText::LiveValues(), before + 1);
    TSharedText b = a, c = Unique("life", 1);
    EXPECT_EQ(TSharedText::LiveValues(), before + 1);
    TSharedText moved = std::move(b);
    EXPECT_TRUE(b.empty());  // a moved-from text is empty
    a = Unique("life", 2);   // replaced: the first value still has two holders
    EXPECT_EQ(TSharedText::LiveValues(), before + 2);
    c.clear();
    moved = TSharedText();
    EXPECT_EQ(TSharedText::LiveValues(), before + 1) << "the last holder of value 1 let go";
    TSharedText& self = a;
    a = self;  // self-assignment keeps the value
    EXPECT_EQ(a, Unique("life", 2));
    a = std::move(self);
    EXPECT_EQ(a, Unique("life", 2));
  }
  EXPECT_EQ(TSharedText::LiveValues(), before);
}

// Many threads make, copy and drop the same few values, so a value's last
// holder often lets go while another thread asks for it again.
TEST(SharedText, ConcurrentHoldersNeverLoseOrMixValues) {
  const size_t before = TSharedText::LiveValues();
  constexpr int kThreads = 4, kRounds = 20000, kValues = 5;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::vector<TSharedText> held(3);
      for (int r = 0; r < kRounds; ++r) {
        const int k = (r + t) % kValues;
        const std::string text = Unique("race", k);
        TSharedText made = text;
        if (made != text) ++wrong;
        held[size_t(r % 3)] = made;
        TSharedText copy = held[size_t((r + 1) % 3)];
        if (!copy.empty() && copy.str().rfind(Unique("race", 0).substr(0, 30), 0) != 0) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(TSharedText::LiveValues(), before) << "every value is given back";
}

// The study tree copies whole headers: the repeated texts of a series are held
// once, and a header's equality still compares its values.
TEST(SharedText, HeadersOfOneSeriesShareTheirTexts) {
  const DICOMdata defaults;  // holds the fresh record's texts ("NO NAME", ...)
  const size_t before = TSharedText::LiveValues();
  {
    std::vector<DICOMdata> series(100);
    for (size_t k = 0; k < series.size(); ++k) {
      DICOMdata& h = series[k];
      h.Study_Instance_UID = Unique("study", 1);
      h.Series_Instance_UID = Unique("study", 1) + ".7";
      h.Series_Description = Unique("description", 1);
      h.SOP_Instance_UID = Unique("image", int(k));
    }
    EXPECT_EQ(TSharedText::LiveValues(), before + 3);
    DICOMdata a = series[3], b = series[3];
    EXPECT_EQ(a, b);
    b.Series_Description = std::string(Unique("description", 1));
    EXPECT_EQ(a, b);
    b.Series_Description = Unique("description", 2);
    EXPECT_NE(a, b);
    ResetDicomData(b);  // kept across reads, as before
    EXPECT_EQ(b.Series_Description, Unique("description", 2));
    EXPECT_EQ(b.PatientName, "NO NAME");
  }
  EXPECT_EQ(TSharedText::LiveValues(), before);
}

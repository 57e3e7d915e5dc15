// Storage classes that hold no image are named; image classes are not.
#include <gtest/gtest.h>

#include "dicom/SopClasses.h"

TEST(NonImageKind, NamesTheClassesWithoutAnImage) {
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.88.33"), "structured report");
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.88.59"), "key object selection");
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.481.5"), "RT plan");
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.481.3"), "RT structure set");
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.9.1.1"), "waveform (ECG)");
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.104.1"), "encapsulated PDF");
  // Frames of masks drawn over other images, not a series of its own.
  EXPECT_EQ(NonImageKind("1.2.840.10008.5.1.4.1.1.66.4"), "segmentation");
  // As some readers give UIDs: blanks for dots, padding at the end.
  EXPECT_EQ(NonImageKind("1 2 840 10008 5 1 4 1 1 481 5 "), "RT plan");
  EXPECT_EQ(NonImageKind(std::string("1.2.840.10008.5.1.4.1.1.88.11\0", 30)), "structured report");
}

TEST(NonImageKind, ImageClassesAndUnknownOnesAreNotNamed) {
  for (const char* uid : {"1.2.840.10008.5.1.4.1.1.2",      // CT
                          "1.2.840.10008.5.1.4.1.1.481.2",  // RT dose: a grid shown as an image
                          "1.2.840.10008.5.1.4.1.1.481.1",  // RT image
                          "1.2.840.10008.5.1.4.1.1.88",     // no family member
                          "1.2.840.10008.5.1.4.1.1.6710",   // not the mapping class
                          "", "   ", "1.2.3.4"})
    EXPECT_EQ(NonImageKind(uid), "") << uid;
}

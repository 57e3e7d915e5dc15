// The image pixel module of a 12-bit CT slice (16 bits allocated, unsigned,
// 0.7 mm pixels, soft-tissue window, Hounsfield rescale), shared by the
// benchmarks that write their own CT files.
#pragma once

#include <cstdint>
#include <string>

#include "dicom/DicomWriter.h"

namespace benchct {

// `frames` > 0 adds Number of Frames.
inline void AddCtImageModule(dicomwriter::DicomWriter& w, uint16_t size, int frames = 0) {
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  if (frames > 0) w.Text(0x00280008, "IS", std::to_string(frames));
  w.US(0x00280010, {size});
  w.US(0x00280011, {size});
  w.Text(0x00280030, "DS", "0.7\\0.7");
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "40");
  w.Text(0x00281051, "DS", "400");
  w.Text(0x00281052, "DS", "-1024");
  w.Text(0x00281053, "DS", "1");
}

}  // namespace benchct

// The plain fields of the header: elements whose value is read one way into
// one field of DICOMdata and affect nothing else. The header walk looks an
// element up here after its rules for the elements that need code (sequences,
// pixel data, directory records, values that set several fields or depend on
// the walk's state), so a new plain field is one row of the table.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>

#include "dicom/define_types.h"

namespace headerfields {

// How a value is read.
enum class Read : uint8_t {
  Text,     // text as ReadElementText gives it (codes, UIDs)
  Chars,    // text by the data set's character set, in UTF-8
  Name,     // a person name by the character set, as a person reads it
  Time,     // a time as ReadElementTime gives it
  Date,     // a date as FormatDicomDate shows it
  Real,     // the first number of a decimal or integer string
  Integer,  // an integer string; a value that does not read leaves the field as it was
  Word,     // a 16-bit value; a shorter value leaves the field as it was
  Word32,   // 32 bits when the value is 4 bytes long, else as Word
};

// One row: exactly one member pointer is set, the one of the field's type
// (text and shared for Text, Time and Date; real for Real; integer for the rest).
struct Field {
  uint32_t tag = 0;  // group << 16 | element
  Read read = Read::Text;
  std::string DICOMdata::*text = nullptr;
  TSharedText DICOMdata::*shared = nullptr;
  float DICOMdata::*real = nullptr;
  int DICOMdata::*integer = nullptr;
};

namespace detail {

constexpr Field Row(uint32_t tag, Read read, std::string DICOMdata::*m) {
  Field f{tag, read};
  f.text = m;
  return f;
}
constexpr Field Row(uint32_t tag, Read read, TSharedText DICOMdata::*m) {
  Field f{tag, read};
  f.shared = m;
  return f;
}
constexpr Field Row(uint32_t tag, Read read, float DICOMdata::*m) {
  Field f{tag, read};
  f.real = m;
  return f;
}
constexpr Field Row(uint32_t tag, Read read, int DICOMdata::*m) {
  Field f{tag, read};
  f.integer = m;
  return f;
}

using D = DICOMdata;
inline constexpr Field kFields[] = {
    Row(0x00020012, Read::Text, &D::Implementation_Class_UID),
    Row(0x00080016, Read::Text, &D::SOP_Class_UID),
    Row(0x00080018, Read::Text, &D::SOP_Instance_UID),
    Row(0x00080021, Read::Text, &D::SeriesDate),
    Row(0x00080022, Read::Text, &D::Acquisition_Date),
    Row(0x00080023, Read::Text, &D::Image_Date),
    Row(0x00080031, Read::Time, &D::Series_Time),
    Row(0x00080032, Read::Time, &D::AcqTime),
    Row(0x00080033, Read::Time, &D::ImgTime),
    Row(0x00080070, Read::Chars, &D::manufacturer),
    Row(0x00080080, Read::Chars, &D::Institute_Name),
    Row(0x00080081, Read::Chars, &D::institution_address),
    Row(0x00080090, Read::Name, &D::referring_physician),
    Row(0x0008103E, Read::Chars, &D::Series_Description),
    Row(0x00081050, Read::Name, &D::performing_physician),
    Row(0x00082144, Read::Real, &D::recommended_frame_rate),
    Row(0x00100030, Read::Date, &D::PatientBirthDate),
    Row(0x00100040, Read::Text, &D::PatientSex),
    Row(0x00101010, Read::Text, &D::patientAge),
    Row(0x00180015, Read::Text, &D::Body_Part_Examined),
    Row(0x00180040, Read::Real, &D::cine_rate),
    Row(0x00180060, Read::Real, &D::kV),
    Row(0x00180080, Read::Real, &D::TR),
    Row(0x00180081, Read::Real, &D::TE),
    Row(0x00180086, Read::Integer, &D::VolumeNumber),
    Row(0x00181063, Read::Real, &D::frame_time),
    Row(0x00181151, Read::Real, &D::mA),
    Row(0x00185101, Read::Text, &D::View_Position),
    Row(0x00200012, Read::Integer, &D::AcquNum),
    Row(0x00200052, Read::Text, &D::Frame_Of_Reference_UID),
    Row(0x00200060, Read::Text, &D::Laterality),
    Row(0x00200062, Read::Text, &D::Image_Laterality),
    Row(0x00201041, Read::Real, &D::location),
    Row(0x00211341, Read::Integer, &D::SiemensSlices),
    Row(0x00280006, Read::Word, &D::PlanarConfig),
    Row(0x00280107, Read::Word32, &D::MaxIntensity),
};

// Rows in strictly ascending tag order: one row per tag, easy to find.
static_assert(std::adjacent_find(std::begin(kFields), std::end(kFields),
                                 [](const Field& a, const Field& b) { return a.tag >= b.tag; }) ==
              std::end(kFields));

// Each row's way of reading matches the type of its field.
constexpr bool ReadFitsField(const Field& f) {
  const int set =
      (f.text != nullptr) + (f.shared != nullptr) + (f.real != nullptr) + (f.integer != nullptr);
  if (set != 1) return false;
  switch (f.read) {
    case Read::Text:
    case Read::Chars:
    case Read::Name:
    case Read::Time:
    case Read::Date:
      return f.text || f.shared;
    case Read::Real:
      return f.real;
    case Read::Integer:
    case Read::Word:
    case Read::Word32:
      return f.integer;
  }
  return false;
}
static_assert(std::all_of(std::begin(kFields), std::end(kFields), ReadFitsField));

// The walk asks for every element it meets, so the lookup is a multiplicative
// hash with no collisions among the rows, its multiplier found at compile
// time: one multiply, one load and one compare, as cheap as the switch the
// rows came from (a binary search cost the header read a few per cent).
constexpr int kSlotBits = 7;
constexpr uint32_t Slot(uint32_t tag, uint32_t multiplier) {
  return (tag * multiplier) >> (32 - kSlotBits);
}
constexpr uint32_t FindMultiplier() {
  for (uint32_t m = 0x9E3779B1u, tries = 0; tries < 100000; m += 2, ++tries) {
    bool used[1 << kSlotBits] = {};
    bool clash = false;
    for (const Field& f : kFields) {
      const uint32_t slot = Slot(f.tag, m);
      clash = clash || used[slot];
      used[slot] = true;
    }
    if (!clash) return m;
  }
  return 0;
}
inline constexpr uint32_t kMultiplier = FindMultiplier();
static_assert(kMultiplier != 0, "no collision-free multiplier: widen kSlotBits");
static_assert(std::size(kFields) < 128, "row indices are 8-bit");
inline constexpr auto kSlots = [] {
  std::array<int8_t, 1 << kSlotBits> slots{};
  slots.fill(-1);
  for (size_t i = 0; i < std::size(kFields); ++i)
    slots[Slot(kFields[i].tag, kMultiplier)] = int8_t(i);
  return slots;
}();

}  // namespace detail

// The row for tag, or nullptr when the element is not a plain field.
inline const Field* FindField(uint32_t tag) {
  const int i = detail::kSlots[detail::Slot(tag, detail::kMultiplier)];
  return i >= 0 && detail::kFields[i].tag == tag ? &detail::kFields[i] : nullptr;
}

}  // namespace headerfields

// Every element of a DICOM file, as a tree: the listing behind the tag browser
// and `tavrolen-dicom tags`. Independent of the header reader, which picks the
// few fields the viewer needs; this walk keeps everything, decoded.
//
// The walk is bounded by the file: no value is read past its end, sequences
// nest at most kMaxDepth deep, and bulk values (pixel data, OB/OW/UN and
// friends) are never loaded, only measured. It reads Part 10 files and bare
// data sets, implicit and explicit VR, little and big endian, sequences and
// items of defined and undefined length, UN values that hold sequences, and
// encapsulated pixel data. A damaged file lists what comes before the damage,
// with one warning naming where it ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DicomByteSource;

// One number of a binary VR, exactly as stored.
struct ElementNumber {
  enum Kind : uint8_t { Signed, Unsigned, Float32, Float64 } kind = Signed;
  int64_t i = 0;   // Signed
  uint64_t u = 0;  // Unsigned
  double f = 0;    // Float32 (the float widened) and Float64
};

struct TagElement {
  enum class Kind : uint8_t { Text, Numbers, Tags, Bulk, Sequence };

  uint32_t tag = 0;
  std::string vr;       // as resolved: the file's in explicit VR, else the dictionary's
  std::string keyword;  // empty for private and unknown elements
  std::string name;
  std::string creator;  // private data elements: the creator of their block
  Kind kind = Kind::Text;
  // Text: each value in UTF-8, padding removed; Tags: "(gggg,eeee)" each.
  std::vector<std::string> texts;
  std::vector<ElementNumber> numbers;  // Numbers
  // Value bytes in the file (encapsulated pixel data: every item, headers
  // included, up to the sequence delimiter).
  int64_t length = 0;
  int64_t offset = 0;      // file position of the element's tag
  int fragments = -1;      // encapsulated pixel data: items, offset table included
  bool truncated = false;  // the file ends inside the value
  std::string preview;     // Bulk: hex of the first bytes (at most 16)
  std::vector<std::vector<TagElement>> items;  // Sequence
  bool empty() const { return kind == Kind::Sequence ? items.empty() : length == 0; }
};

struct TagListing {
  bool ok = false;  // false: not a DICOM file (error says why)
  std::string error;
  std::string warning;         // damage found; the listing holds what came before
  std::string transferSyntax;  // the UID the data set was read with
  std::vector<TagElement> elements;
  // Elements in the whole tree, items' elements included.
  size_t count = 0;
};

inline constexpr int kMaxDepth = 64;

TagListing ReadTagListing(const std::string& path);
TagListing ReadTagListing(DicomByteSource& source);

// "(0010,0010)"
std::string TagText(uint32_t tag);

// One line of text for a value: texts and numbers joined with "\", bulk data
// as its size, a sequence as its item count.
std::string ElementValueText(const TagElement& e);

// A number as text: integers exactly; Float32 in the shortest form that reads
// back as the same float ("0.1"); Float64 in the shortest that reads back as
// the same double. wide: Float32 as the shortest text of its double value
// ("0.10000000149011612"), which is what a reader that widens floats sees.
std::string NumberText(const ElementNumber& n, bool wide = false);

// The listing as text, one element a line, items indented under their
// sequence: "(0010,0010) PN PatientName                      DOE^JOHN".
// Line breaks inside values are written as "\n" so every element stays on one line.
std::string TagListingText(const std::vector<TagElement>& elements);

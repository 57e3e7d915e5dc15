// Encapsulated documents: a PDF, a CDA document, or a 3D model (STL, OBJ,
// MTL) carried whole inside a DICOM object. The reader hands out the
// document's own bytes, exactly as its author wrote them, and what the
// object says about it and about where it belongs in a study.
//
// Reads are bounded by the file: a value that claims more bytes than the file
// holds is refused before anything is allocated for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TEncapsulatedDocument {
  std::string sopClassUid;
  std::string sopInstanceUid;
  // Texts in UTF-8 (decoded by the object's character set where it can be).
  std::string patientName;
  std::string patientId;
  std::string studyInstanceUid;
  std::string studyDate;
  std::string studyDescription;
  std::string seriesInstanceUid;
  std::string seriesDescription;
  std::string modality;
  int seriesNumber = 0;
  int instanceNumber = 0;
  std::string contentDate;  // (0008,0023), else Acquisition DateTime's date part
  std::string contentTime;  // (0008,0033)
  std::string title;        // Document Title (0042,0010)
  std::string mimeType;     // MIME Type of Encapsulated Document (0042,0012)
  // Encapsulated Document Length (0042,0015) when the object gives it.
  bool lengthGiven = false;
  uint64_t lengthDeclared = 0;
  // The document itself: the first lengthDeclared bytes of the value when the
  // length is given, else the value without its single padding byte.
  std::string bytes;
  // A note on a value that did not add up (a declared length beyond the
  // value); the bytes are still the value's.
  std::string warning;
};

// The document classes (Encapsulated PDF, CDA, STL, OBJ, MTL and later ones
// of the family); blanks in place of the dots are taken as dots.
bool IsEncapsulatedDocumentClass(std::string_view sopClassUid);

// Reads the object in `path`. False with a one-line reason when the file is
// not DICOM, not an encapsulated document, or holds no document.
bool ReadEncapsulatedDocument(const std::string& path, TEncapsulatedDocument& doc,
                              std::string& why);

// The document's bytes from an Encapsulated Document value: `length` bytes when
// the object declares a length the value holds, else the value without one
// trailing NUL or space when its length is even (the padding DICOM adds to an
// odd-length document).
std::string_view DocumentBytes(std::string_view value, bool lengthGiven, uint64_t length);

// Whether a MIME type names a PDF, or a text or XML document (CDA among them).
bool IsPdfMime(std::string_view mime);
bool IsTextMime(std::string_view mime);

// Empty when the bytes are a PDF ("%PDF-" within the first 1024 bytes, as
// readers accept); otherwise why they are not.
std::string PdfProblem(std::string_view bytes);

// The file name extension (".pdf", ".xml", ".stl", ...) for a document's MIME
// type, or ".bin" for one this table does not know.
std::string DocumentExtension(std::string_view mime);

// The readable text of a CDA document: its title, then each section's title
// as a heading followed by its narrative text, tables as tab-separated rows.
// Markup, coded entries and the header's identifiers are left out. A
// document that is not well-formed gives what could be read before the
// damage. Bounded: nesting deeper than 256 is read as flat text.
std::string CdaReadableText(std::string_view xml);

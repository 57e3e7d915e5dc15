// The DICOM header reader: walks the elements of one file and fills a
// DICOMdata with what the viewer needs, noting where the pixel data or its
// compressed fragments lie. Safe to call from several threads at once on
// different files; every piece of walk state belongs to the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "dicom/define_types.h"

// Receives the texts the reader raises ("Switching to little endian", ...).
// The reader never shows anything itself; the application decides how a person
// sees them.
using DicomMessageSink = std::function<void(const std::string& text)>;

// Messages about the character set text was read by start with this: a load
// shows each such text once, not once per file.
inline constexpr std::string_view kCharsetMessagePrefix = "Character set: ";

// Sink used when a call passes none. Thread-safe to set and to call; the
// initial default discards the texts.
void SetDefaultDicomMessageSink(DicomMessageSink sink);

// A read that fails as a whole (the file cannot be opened or vanishes, a system
// read fails, an orientation number does not convert). The caller treats the
// file as unreadable.
class EDicomReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The read failed because of a value the file holds (an orientation number
// that does not convert), not because the file could not be read: the file
// was examined, and this is its verdict.
class EDicomValueError : public EDicomReadError {
 public:
  using EDicomReadError::EDicomReadError;
};

// Reads the header of fileName into header (reset first; referenceFile is left
// to the caller). hdrOK: the walk ended in an orderly way; imgOK: the image
// can be displayed. readFrameTables: JPEG syntaxes are accepted and per-frame
// fragment tables collected.
//
// Frame tables (compressed data): entry k - 1 of gECATJPEG_pos_table and
// gECATJPEG_size_table locates frame k: the file offset of its first data byte
// and the sum of its fragments' lengths. A frame that spans several fragments
// has one entry; reading its bytes skips the 8-byte item headers between the
// fragments. gECATJPEG_table_entries is the size of both tables; it can be
// smaller than the number of frames when a file does not say where every
// frame lies.
//
// A missing file gives hdrOK = imgOK = false. A file that exists but cannot be
// opened or read, or whose Image Orientation (Patient) does not convert,
// throws EDicomReadError.
//
// For a DICOMDIR the directory tree is built for this call only. When
// dicomDirOut is given it receives the tree; otherwise the tree is published
// to gDicomDirPatients under its lock at the end of the read.
void ReadDicomHeader(const std::string& fileName, bool readFrameTables, DICOMdata& header,
                     bool& hdrOK, bool& imgOK, const DicomMessageSink& sink = {},
                     TPatientArr* dicomDirOut = nullptr);

// The tree of the last DICOMDIR read without dicomDirOut. Take the lock to
// read or replace it.
extern TPatientArr gDicomDirPatients;
std::mutex& DicomDirPatientsMutex();

// One read's results, for callers that want the directory tree of this read
// only (never published to gDicomDirPatients).
struct DicomReadResult {
  bool hdrOK = false;
  bool imgOK = false;
  bool isDicomDir = false;  // the file holds a Directory Record Sequence
  TPatientArr dicomDir;     // its directory tree
};

// As ReadDicomHeader, from a file or from a memory block holding a whole file.
// Same rules, same exceptions.
DicomReadResult ReadDicomHeaderFromFile(const std::string& fileName, bool readFrameTables,
                                        DICOMdata& header, const DicomMessageSink& sink = {});
DicomReadResult ReadDicomHeaderFromMemory(const uint8_t* data, size_t size, bool readFrameTables,
                                          DICOMdata& header, const DicomMessageSink& sink = {});

// Lets the user interface process pending events during long reads. The hook
// is called only on the thread that installed it (the UI thread), at most
// every few tens of milliseconds, and never re-entered. An empty hook removes it.
void SetDicomProcessEventsHook(std::function<void()> hook);

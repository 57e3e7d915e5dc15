// The DICOM header reader: walks the elements of one file and fills a
// DICOMdata with what the viewer needs, noting where the pixel data or its
// compressed fragments lie. Safe to call from several threads at once on
// different files; every piece of walk state belongs to the call.
#pragma once

#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include "dicom/define_types.h"

// Receives the texts the reader raises ("Switching to little endian", ...).
// The reader never shows anything itself; the application decides how a person
// sees them.
using DicomMessageSink = std::function<void(const std::string& text)>;

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

// Reads the header of fileName into header (reset first; referenceFile is left
// to the caller). hdrOK: the walk ended in an orderly way; imgOK: the image
// can be displayed. readFrameTables: JPEG syntaxes are accepted and per-frame
// fragment tables collected.
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

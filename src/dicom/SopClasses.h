// What a DICOM object is by its SOP Class UID, for the objects that hold no
// image: structured reports, radiotherapy plans and structures, waveforms,
// encapsulated documents and the like, and segmentations, whose frames are
// masks drawn over other images rather than images of their own. A viewer
// that skips one says what it is instead of calling a valid object damaged.
#pragma once

#include <string>

// A short name ("structured report", "RT plan", "waveform (ECG)", ...) of a
// storage class that holds no image to show by itself; empty for image classes and for UIDs
// this table does not know. Blanks in place of the dots are taken as dots.
std::string NonImageKind(const std::string& sopClassUid);

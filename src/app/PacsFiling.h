// Retrieved instances into the study tree as a folder load files them, while
// the retrieve goes on: each batch is filed, its series kept in series and
// instance order, and every cell stays on the image it shows.
#pragma once

#include <QPointer>
#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "viewer/AdvancedImage.h"

class TForm1;

struct TArrival {
  std::string path;
  std::string seriesUid;  // as the retrieve names it (dots, not the reader's blanks)
  DICOMdata header;
  bool imgOK = false;
};

// Reads an arrived file's header for the tree (any thread).
TArrival ReadArrival(const std::string& path);

struct TFilingOutcome {
  int added = 0;                      // images new to the tree
  bool newSeries = false;             // a series (or study) the tree did not hold
  int documents = 0;                  // reports, documents and waveforms new to the tree
  std::vector<std::string> notShown;  // "path: reason" for files kept on disk but not filed
};

// Files a batch into gPatients (UI thread): images the viewer cannot show
// and presentation states are left out, as a folder load leaves them out;
// reports, documents and waveforms join their series as documents.
TFilingOutcome FileArrivals(TForm1& form, std::vector<TArrival>& batch);

// A cell the retrieve filled, and the file it put there; the grid may drop
// the cell meanwhile (a smaller layout).
struct TAutoShown {
  QPointer<TadvancedImage> cell;
  std::string path;  // empty while the cell waits for its series
  int slot = 0;      // the cell shows the study's series of this index
};

// When no cell shows an image, shows the study's series one per cell, in
// order (UI thread), and returns the grid's cells with the series each is
// for (later series fill the rest as they arrive). studyUid as the reader
// keeps it (the header's value).
std::vector<TAutoShown> ShowStudyIfGridEmpty(TForm1& form, const std::string& studyUidAsRead);

// Images and series arrive in the server's order: a cell the retrieve
// filled, which the user has not moved since, follows the first image of
// the series of its slot as earlier series and instances come in (UI thread).
void KeepOnFirstImages(TForm1& form, std::vector<TAutoShown>& shown);

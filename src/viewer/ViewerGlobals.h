// State that belongs to the application but is read by the image control:
// mode flags, locks and the display colours. Kept here so the viewer can read
// it without depending on the main window. Flags are read across threads
// (loader workers, pool bodies of all-viewers commands), hence atomic.
#pragma once

#include <QColor>
#include <QString>
#include <atomic>

// The six display colours; chosen in the Settings tab for the current run only.
struct TSettings {
  QString Theme;
  QColor AnnotationColor{255, 0, 0};
  QColor AnnotationLabelColor{255, 0, 0};
  QColor InformationColor{0, 255, 255};
  QColor RulerColor{255, 255, 255};
  QColor ReferenceLinesColor{255, 0, 0};
  QColor OverlayColor{255, 255, 255};
  // Showing an image with presentation states applies the newest of them.
  bool ApplyNewestPresentationState = false;
};

// The one settings instance; written on the UI thread only.
TSettings& gSettings();

extern std::atomic<bool> gProcessAllViewers;   // Multi mode: commands act on every selected cell
extern std::atomic<bool> gRestrictedLoad;      // fill mode Restricted (one series per cell)
extern std::atomic<bool> gForceRefill;         // the next SetLayout refills the cells
extern std::atomic<bool> gShowReferenceLines;  // the "Reference lines" switch
extern std::atomic<bool> gLockZoom;
extern std::atomic<bool> gLockWwWl;
extern std::atomic<bool> FrameRateSetByUser;    // a picked rate beats the header's frame time
extern std::atomic<bool> gLoadingInProgress;    // a folder or DICOMDIR load is running
extern std::atomic<bool> gAllViewersMouseDown;  // a button is held on the grid in the Multi mode
extern std::atomic<bool> gThumbnailDragInProgress;

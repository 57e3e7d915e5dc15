// Annotations and key images as DICOM objects: "Save Annotations as DICOM"
// (one presentation state of the active cell's series), "Save Key Images as
// DICOM" (one key object selection of the study's marked images), and the
// way back: states found beside the images (or saved this run) are offered
// in the cell's menu and put back on request; key object selections found
// mark their images at once.
//
// UI thread only. The study tree keeps images only, so the presentation
// states and key object selections of the run are listed here.
#pragma once

#include <string>
#include <vector>

#include "study/StudyLoad.h"

class QMenu;
class QWidget;
class TadvancedImage;

// A presentation state or key object selection known to the run.
struct TDerivedFile {
  std::string path;
  bool keyObjects = false;             // a key object selection; else a presentation state
  std::string label;                   // presentation label (key objects: their title)
  std::string description, creator;    // of a presentation state
  std::string date, time;              // of creation, YYYYMMDD and HHMMSS
  std::vector<std::string> instances;  // SOP Instance UIDs of the images it refers to
};

// Writes the presentation state of the cell's series (its annotated frames
// and the cell's window) into folder (empty: the folder of the series' first
// file) and lists it; `written` is its path.
bool SaveSeriesAnnotations(const TadvancedImage& cell, const std::string& folder,
                           std::string& written, std::string& why);
// Writes one key object selection of the marked images of the cell's study
// into folder (empty: the folder of the first marked image) and lists it.
bool SaveStudyKeyImages(const TadvancedImage& cell, const std::string& folder, std::string& written,
                        std::string& why);

// Lists a presentation state or key object selection (saved, loaded or
// received); a key object selection marks its images at once, with its title
// and description, and those not in the tree yet when they come. False when
// the file is neither.
bool FileDerivedObject(const std::string& path, std::string& why);
// Marks the images that key object selections listed earlier named and the
// tree lacked then: after a load or an arrival of images.
void MarkPendingKeyImages();
// Lists the presentation states and key object selections a load met (the
// tree files images only; these come back among its skipped files).
void FileDerivedObjects(const TLoadResult& load);
// The presentation states referring to the image the cell shows: the ones
// listed, and those lying beside its file (looked for once per folder).
std::vector<TDerivedFile> StatesForCell(const TadvancedImage& cell);
// Applies a state to the image the cell shows (CellPresentation.h); the
// viewer's own states also put their annotations back into the annotation
// store for every other image and frame of the tree they refer to.
bool ApplyStateToCell(TadvancedImage& cell, const std::string& path, std::string& why);
// The newest of the states StatesForCell finds; empty when there is none.
std::string NewestStateForCell(const TadvancedImage& cell);
// With the setting "Apply the newest presentation state" on, every image the
// cell comes to show gets its newest state.
void WatchPresentationStates(TadvancedImage* cell);
// The Settings tab's group for that setting.
QWidget* PresentationStateSetting(QWidget* parent);
// Forgets every listed object and folder looked through (the tree was cleared).
void ForgetDerivedObjects();

// The presentation states and key object selections listed in this run that
// refer to at least one of imagePaths: what goes with those images when they
// are sent.
std::vector<std::string> DerivedObjectsOf(const std::vector<std::string>& imagePaths);

// Marks or unmarks the frame the cell shows as a key image.
bool ToggleKeyImage(TadvancedImage* cell);

// The cell menu's entries: key image mark, the two saves and the
// "Presentation States" submenu. Messages go to boxes over parent.
void AddStateMenuEntries(QMenu* menu, TadvancedImage* cell, QWidget* parent);

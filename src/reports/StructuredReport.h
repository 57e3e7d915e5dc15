// Structured reports as plain data: every SR storage class read through
// DCMTK's dcmsr into one content tree that the report window, the
// command-line tool and the tests share.
//
// Reading is lenient the way a viewer must be with other producers' reports:
// unknown relationship types, values that break their VR and items that miss
// a value-type attribute are kept (each listed in `notes`), relationship
// constraints of the document class are not enforced, and an SR class DCMTK
// does not know is read as a Comprehensive 3D SR. By-reference relationships stay
// references (`target`), never followed, so a reference that loops or points
// nowhere cannot recurse; it is noted instead. Text is UTF-8, decoded by the
// report's Specific Character Set.
//
// Bounds: the data set is refused before DCMTK parses it when its sequences
// nest deeper than the element walker allows (DCMTK's own parser recurses
// per level); the content tree keeps at most kMaxReportNodes items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reports {

inline constexpr size_t kMaxReportNodes = 500000;

struct TSrCode {
  std::string value, scheme, meaning, version;
  bool empty() const { return value.empty() && meaning.empty(); }
};

// A node of the content tree, in document order (preorder); nodes[0] is the
// root container.
struct TSrNode {
  std::string position;  // "1.2.3": the item's place, as reports name items
  int parent = -1;
  int depth = 0;  // the root is 0
  std::vector<int> children;

  std::string relationship;  // "CONTAINS", "HAS OBS CONTEXT", ...; empty for the root
  std::string valueType;     // "CONTAINER", "TEXT", ...; "BYREF" for a by-reference item
  TSrCode conceptName;

  // The value as a person reads it (UTF-8): a code's meaning, a number with
  // its unit, a formatted date, a person's name, a reference in short.
  std::string text;

  TSrCode code;        // CODE: the value; NUM: the measurement unit
  std::string number;  // NUM: the numeric value as stored (empty: none)
  bool hasFloat = false;
  double floatValue = 0;  // NUM: the Floating Point Value when given
  TSrCode qualifier;      // NUM: the numeric value qualifier (why no number)
  std::string raw;        // DATE, TIME, DATETIME, UIDREF, PNAME: the stored value (UTF-8)

  // IMAGE, COMPOSITE, WAVEFORM: the referenced object.
  std::string sopClassUid, sopInstanceUid;
  std::vector<int32_t> frames;     // IMAGE: referenced frames (1-based; empty: all)
  std::vector<uint32_t> segments;  // IMAGE: referenced segments
  std::string presentationClassUid, presentationInstanceUid;  // IMAGE: its state
  std::vector<uint16_t> channels;  // WAVEFORM: multiplex group, channel pairs

  // SCOORD, SCOORD3D: graphic type and points (x, y pairs in image pixel
  // coordinates, origin at the top left corner of the top left pixel; or
  // x, y, z triples in millimetres of frameOfReferenceUid).
  std::string graphicType;
  std::vector<double> points;
  std::string frameOfReferenceUid;
  // TCOORD: range type and the positions it names (one list is filled).
  std::string temporalRangeType;
  std::vector<double> samplePositions, timeOffsets;
  std::vector<std::string> dateTimes;

  std::string continuity;  // CONTAINER: "SEPARATE" or "CONTINUOUS"
  std::string observationDateTime;
  std::string templateId;  // "TID 1500" style, when the container names one

  // BYREF: the position of the referenced item and its node (-1: nowhere).
  std::string target;
  int targetNode = -1;

  std::string problem;  // what is wrong with the item, when DCMTK found it invalid
};

struct TSrObserver {
  std::string name, organization, dateTime;  // name UTF-8 as read, dateTime formatted
};

// An instance the report names in its evidence lists.
struct TSrEvidence {
  std::string studyInstanceUid, seriesInstanceUid, sopClassUid, sopInstanceUid;
};

struct TSrDocument {
  std::string sopClassUid, className;  // className: "Comprehensive SR", ...
  std::string readAs;                  // the class it was read as, when DCMTK lacks its own
  std::string sopInstanceUid, seriesInstanceUid, studyInstanceUid;
  std::string modality;
  TSrCode title;  // the root container's concept name

  std::string patientName, patientId, patientBirthDate, patientSex;
  std::string studyDate, studyTime, studyDescription, studyId, accessionNumber, referringPhysician;
  std::string seriesDescription, seriesNumber, instanceNumber, manufacturer;
  std::string contentDate, contentTime;  // formatted

  std::string completionFlag, completionFlagDescription;  // "COMPLETE" / "PARTIAL"
  std::string verificationFlag;                           // "VERIFIED" / "UNVERIFIED"
  std::string preliminaryFlag;                            // "PRELIMINARY" / "FINAL" / empty
  std::vector<TSrObserver> verifiers;
  std::vector<TSrEvidence> evidence;

  std::vector<TSrNode> nodes;
  // What was read leniently or left out, one line each.
  std::vector<std::string> notes;
};

// Reads the report in path. False (with a one-line why) when the file is no
// DICOM, no structured report, or its content tree cannot be read at all.
bool ReadReport(const std::string& path, TSrDocument& doc, std::string& why);
// The same from the bytes of a Part 10 file or a bare data set (through a
// temporary file: DCMTK bounds its reads by a file's size).
bool ReadReportBytes(const uint8_t* data, size_t size, TSrDocument& doc, std::string& why);

// Whether a SOP class is a structured report class (key object selections included).
bool IsReportClass(const std::string& sopClassUid);

// The IMAGE node an SCOORD node was selected from (a SELECTED FROM child,
// directly or by reference); -1 when it names none.
int SelectedImage(const TSrDocument& doc, int scoordNode);

// One SCOORD of the report drawn on an image: its points in image pixel
// coordinates and the label it is drawn with.
struct TSrShape {
  int node = -1;
  std::string graphicType;
  std::vector<double> points;   // x, y pairs
  std::vector<int32_t> frames;  // the frames the image reference names (empty: all)
  std::string label;
};
// The report's SCOORDs selected from the image sopInstanceUid: those on
// frame (1-based), or on any frame when frame is 0.
std::vector<TSrShape> ShapesOnImage(const TSrDocument& doc, const std::string& sopInstanceUid,
                                    int frame);

// The report as readable text: the header, then one line per item indented
// by depth ("Concept: value").
std::string ReportText(const TSrDocument& doc);

// The report as one HTML document for a text browser: the title, the header,
// the observation context, containers as headings, every value escaped.
// Images and spatial coordinates link as "sr-node:N" (N: the node).
std::string ReportHtml(const TSrDocument& doc);

}  // namespace reports

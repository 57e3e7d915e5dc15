#include "dicom/SopClasses.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

struct Kind {
  std::string_view uid;  // the class, or a family when it ends in '.'
  std::string_view name;
};

// Storage classes of PS3.4 Annex B without pixel data. Families are listed
// after their exceptions: the first match counts.
constexpr Kind kKinds[] = {
    {"1.2.840.10008.5.1.4.1.1.88.59", "key object selection"},
    {"1.2.840.10008.5.1.4.1.1.88.", "structured report"},
    {"1.2.840.10008.5.1.4.1.1.481.2", ""},  // RT Dose: a dose grid, shown as an image
    {"1.2.840.10008.5.1.4.1.1.481.1", ""},  // RT Image
    {"1.2.840.10008.5.1.4.1.1.481.3", "RT structure set"},
    {"1.2.840.10008.5.1.4.1.1.481.5", "RT plan"},
    {"1.2.840.10008.5.1.4.1.1.481.8", "RT ion plan"},
    {"1.2.840.10008.5.1.4.1.1.481.", "radiotherapy record"},
    {"1.2.840.10008.5.1.4.1.1.9.1.", "waveform (ECG)"},
    {"1.2.840.10008.5.1.4.1.1.9.", "waveform"},
    {"1.2.840.10008.5.1.4.1.1.104.1", "encapsulated PDF"},
    {"1.2.840.10008.5.1.4.1.1.104.2", "encapsulated CDA document"},
    {"1.2.840.10008.5.1.4.1.1.104.", "encapsulated document"},
    {"1.2.840.10008.5.1.4.1.1.11.", "presentation state"},
    {"1.2.840.10008.5.1.4.1.1.66.4", "segmentation"},  // drawn over the images it refers to
    {"1.2.840.10008.5.1.4.1.1.66.", "registration or raw data"},
    {"1.2.840.10008.5.1.4.1.1.67", "real world value mapping"},
    {"1.2.840.10008.5.1.4.1.1.4.2", "MR spectroscopy"},
    {"1.2.840.10008.5.1.4.1.1.68.", "surface"},
    {"1.2.840.10008.5.1.4.1.1.78.", "measurements"},
    {"1.2.840.10008.5.1.4.1.1.79.", "measurements"},
    {"1.2.840.10008.5.1.4.1.1.80.", "measurements"},
    {"1.2.840.10008.5.1.4.1.1.81.", "measurements"},
    {"1.2.840.10008.5.1.4.1.1.82.", "measurements"},
    {"1.2.840.10008.5.1.4.1.1.90.1", "content assessment"},
    {"1.2.840.10008.5.1.4.1.1.200.", "protocol"},
    {"1.2.840.10008.5.1.4.38.", "hanging protocol"},
    {"1.2.840.10008.5.1.4.39.", "colour palette"},
    {"1.2.840.10008.1.3.10", "media directory"},
};

}  // namespace

std::string NonImageKind(const std::string& sopClassUid) {
  std::string uid;
  for (char c : sopClassUid) {
    if (c == ' ') c = '.';
    if (c == '\0') continue;
    uid.push_back(c);
  }
  while (!uid.empty() &&
         (uid.back() == '.' || std::isspace(static_cast<unsigned char>(uid.back()))))
    uid.pop_back();
  if (uid.empty()) return {};
  for (const Kind& k : kKinds) {
    const bool family = k.uid.back() == '.';
    if (family ? uid.rfind(k.uid, 0) == 0 : uid == k.uid) return std::string(k.name);
  }
  return {};
}

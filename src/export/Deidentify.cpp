#include "export/Deidentify.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace exporter {
namespace {

constexpr TProfileRow kRows[] = {
#include "export/ConfidentialityProfileTable.inc"
};

struct TRowIndex {
  std::unordered_map<uint32_t, const TProfileRow*> exact;
  std::vector<const TProfileRow*> wildcards;
  TRowIndex() {
    for (const TProfileRow& r : kRows) {
      if (r.mask == 0xFFFFFFFFu)
        exact.emplace(r.tag, &r);
      else
        wildcards.push_back(&r);
    }
  }
};

const TRowIndex& Index() {
  static const TRowIndex index;
  return index;
}

std::string Decimal128(unsigned __int128 v) {
  if (v == 0) return "0";
  char digits[48];
  int n = 0;
  while (v != 0) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  std::string out;
  out.reserve(static_cast<size_t>(n));
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

constexpr const char* kDummyText = "ANONYMOUS";

struct TContext {
  const TDeidentifyOptions& options;
  TUidMap& uids;
};

std::string MapUidList(const std::string& values, TUidMap& uids) {
  std::string out;
  size_t start = 0;
  while (true) {
    const size_t end = values.find('\\', start);
    std::string one =
        values.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (!one.empty() && (one.back() == ' ' || one.back() == '\0')) one.pop_back();
    if (!out.empty() || start > 0) out += '\\';
    if (!one.empty()) out += uids.Uid(one);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string ValueOf(DcmElement& el) {
  OFString v;
  if (el.getOFStringArray(v).bad()) return {};
  return std::string(v.c_str(), v.length());
}

// A non-empty value valid for the element's VR.
void PutDummy(DcmElement& el, TUidMap& uids) {
  switch (el.ident()) {
    case EVR_DA:
      el.putString("19000101");
      return;
    case EVR_TM:
      el.putString("000000.00");
      return;
    case EVR_DT:
      el.putString("19000101000000.00");
      return;
    case EVR_AS:
      el.putString("000D");
      return;
    case EVR_IS:
    case EVR_DS:
    case EVR_US:
    case EVR_SS:
    case EVR_UL:
    case EVR_SL:
    case EVR_FL:
    case EVR_FD:
    case EVR_SV:
    case EVR_UV:
      el.putString("0");
      return;
    case EVR_UI:
      el.putString(uids.Uid(ValueOf(el)).c_str());
      return;
    case EVR_OB:
    case EVR_UN: {
      const Uint8 zero[2] = {0, 0};
      el.putUint8Array(zero, 2);
      return;
    }
    case EVR_OW: {
      const Uint16 zero = 0;
      el.putUint16Array(&zero, 1);
      return;
    }
    default:
      break;
  }
  if (el.isaString())
    el.putString(kDummyText);
  else
    el.clear();  // a binary VR without a sensible dummy: emptied
}

void CleanItem(DcmItem& item, const TContext& ctx);

void CleanSequence(DcmElement& el, const TContext& ctx) {
  auto* sq = dynamic_cast<DcmSequenceOfItems*>(&el);
  if (!sq) return;
  for (unsigned long i = 0; i < sq->card(); ++i)
    if (DcmItem* it = sq->getItem(i)) CleanItem(*it, ctx);
}

void CleanItem(DcmItem& item, const TContext& ctx) {
  // Overlay planes that lose their data go whole.
  std::set<uint16_t> overlayGroups;
  for (unsigned long i = 0; i < item.card(); ++i) {
    const DcmTag& t = item.getElement(i)->getTag();
    const uint16_t g = t.getGTag();
    if (g >= 0x6000 && g <= 0x60FF && (g & 1) == 0 && t.getETag() == 0x3000) {
      const TProfileRow* row = FindProfileRow(g, 0x3000);
      if (row && ResolveAction(*row, ctx.options.keepDates) == 'X') overlayGroups.insert(g);
    }
  }

  for (unsigned long i = item.card(); i-- > 0;) {
    DcmElement* el = item.getElement(i);
    const DcmTag& tag = el->getTag();
    const uint16_t group = tag.getGTag();
    const uint16_t element = tag.getETag();
    if ((group & 1) != 0 || overlayGroups.count(group) != 0) {
      delete item.remove(i);
      continue;
    }
    const bool isSequence = el->ident() == EVR_SQ;
    const TProfileRow* row = FindProfileRow(group, element);
    if (!row) {
      if (isSequence) CleanSequence(*el, ctx);
      continue;
    }
    char action = ResolveAction(*row, ctx.options.keepDates);
    if (group == 0x0010 && element == 0x0010 && action == 'Z') {
      el->putString(ctx.options.patientName.empty() ? kDummyText : ctx.options.patientName.c_str());
      continue;
    }
    if (group == 0x0010 && element == 0x0020 && action == 'Z') {
      const std::string id =
          ctx.options.patientId.empty() ? ctx.uids.PatientId(ValueOf(*el)) : ctx.options.patientId;
      el->putString(id.c_str());
      continue;
    }
    switch (action) {
      case 'K':
        if (isSequence) CleanSequence(*el, ctx);
        break;
      case 'Z':
        if (isSequence)
          static_cast<DcmSequenceOfItems*>(el)->clear();
        else
          el->clear();
        break;
      case 'D':
        if (isSequence)
          CleanSequence(*el, ctx);
        else
          PutDummy(*el, ctx.uids);
        break;
      case 'U':
        if (isSequence)
          CleanSequence(*el, ctx);
        else if (el->ident() == EVR_UI)
          el->putString(MapUidList(ValueOf(*el), ctx.uids).c_str());
        else
          PutDummy(*el, ctx.uids);
        break;
      default:  // 'X'
        delete item.remove(i);
        break;
    }
  }
}

}  // namespace

TUidMap::TUidMap() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(),
                     device(), device(), device(), device()};
  random_.seed(seed);
}

std::string TUidMap::Uid(const std::string& original) {
  std::lock_guard lock(mutex_);
  auto it = uids_.find(original);
  if (it != uids_.end()) return it->second;
  std::string uid;
  do {
    const unsigned __int128 v = (static_cast<unsigned __int128>(random_()) << 64) |
                                static_cast<unsigned __int128>(random_());
    uid = "2.25." + Decimal128(v);
  } while (uid == original);
  return uids_.emplace(original, uid).first->second;
}

std::string TUidMap::PatientId(const std::string& original) {
  std::lock_guard lock(mutex_);
  auto it = ids_.find(original);
  if (it != ids_.end()) return it->second;
  // Numbered in the order met (ANON000001, ...): nothing of the original ID
  // shows through.
  char id[32];
  std::snprintf(id, sizeof id, "ANON%06zu", ids_.size() + 1);
  return ids_.emplace(original, id).first->second;
}

size_t TUidMap::UidCount() {
  std::lock_guard lock(mutex_);
  return uids_.size();
}

std::span<const TProfileRow> ProfileRows() {
  return kRows;
}

const TProfileRow* FindProfileRow(uint16_t group, uint16_t element) {
  const uint32_t tag = (static_cast<uint32_t>(group) << 16) | element;
  const TRowIndex& index = Index();
  auto it = index.exact.find(tag);
  if (it != index.exact.end()) return it->second;
  for (const TProfileRow* r : index.wildcards)
    if ((tag & r->mask) == r->tag) return r;
  return nullptr;
}

char ResolveAction(const TProfileRow& row, bool keepDates) {
  if (keepDates && row.fullDates == 'K') return 'K';
  const std::string_view code = row.basic;
  if (code.size() == 1) return code[0] == 'C' ? 'X' : code[0];
  if (code == "X/D") return 'X';
  if (code == "X/Z/U*") return 'U';
  return 'Z';  // X/Z, Z/D, X/Z/D
}

bool HasBurnedInAnnotation(DcmItem& dataset) {
  OFString v;
  if (dataset.findAndGetOFString(DCM_BurnedInAnnotation, v).bad()) return false;
  std::string s(v.c_str());
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s == "YES";
}

bool Deidentify(DcmFileFormat& file, const TDeidentifyOptions& options, TUidMap& uids,
                std::string& why) {
  DcmDataset* ds = file.getDataset();
  if (!ds) {
    why = "no data set";
    return false;
  }
  const TContext ctx{options, uids};
  CleanItem(*ds, ctx);
  // Reports and waveforms must say when their content was made (Type 1): an
  // emptied date or time takes the profile's dummy instead, or the object
  // would be invalid and no DICOMDIR could list it.
  OFString sopClass;
  ds->findAndGetOFString(DCM_SOPClassUID, sopClass);
  const std::string_view cls = sopClass.c_str();
  if (cls.starts_with("1.2.840.10008.5.1.4.1.1.88.") ||
      cls.starts_with("1.2.840.10008.5.1.4.1.1.9.")) {
    for (const DcmTagKey& key : {DCM_ContentDate, DCM_ContentTime}) {
      DcmElement* el = nullptr;
      if (ds->findAndGetElement(key, el).good() && el && el->getLength() == 0) PutDummy(*el, uids);
    }
  }

  ds->putAndInsertString(DCM_PatientIdentityRemoved, "YES");
  ds->putAndInsertString(DCM_DeidentificationMethod,
                         options.keepDates ? "Basic Application Confidentiality Profile\\"
                                             "Retain Longitudinal With Full Dates Option"
                                           : "Basic Application Confidentiality Profile");
  ds->findAndDeleteElement(DCM_DeidentificationMethodCodeSequence);
  struct Code {
    const char* value;
    const char* meaning;
  };
  std::vector<Code> codes{{"113100", "Basic Application Confidentiality Profile"}};
  if (options.keepDates)
    codes.push_back({"113106", "Retain Longitudinal Temporal Information Full Dates Option"});
  for (const Code& c : codes) {
    DcmItem* item = nullptr;
    if (ds->findOrCreateSequenceItem(DCM_DeidentificationMethodCodeSequence, item, -2).good() &&
        item) {
      item->putAndInsertString(DCM_CodeValue, c.value);
      item->putAndInsertString(DCM_CodingSchemeDesignator, "DCM");
      item->putAndInsertString(DCM_CodeMeaning, c.meaning);
    }
  }
  ds->putAndInsertString(DCM_LongitudinalTemporalInformationModified,
                         options.keepDates ? "UNMODIFIED" : "REMOVED");

  if (DcmMetaInfo* meta = file.getMetaInfo()) {
    OFString sop;
    if (ds->findAndGetOFString(DCM_SOPInstanceUID, sop).good())
      meta->putAndInsertString(DCM_MediaStorageSOPInstanceUID, sop.c_str());
    // Names of the sending and receiving systems say where the file was.
    for (const DcmTagKey& k : {DCM_SourceApplicationEntityTitle, DCM_SendingApplicationEntityTitle,
                               DCM_ReceivingApplicationEntityTitle,
                               DCM_PrivateInformationCreatorUID, DCM_PrivateInformation})
      meta->findAndDeleteElement(k);
  }
  return true;
}

}  // namespace exporter

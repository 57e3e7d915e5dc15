#include "documents/EncapsulatedDocument.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

constexpr std::string_view kDocumentFamily = "1.2.840.10008.5.1.4.1.1.104.";

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  const size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

std::string Text(DcmItem& item, const DcmTagKey& tag) {
  OFString value;
  if (item.findAndGetOFStringArray(tag, value).bad()) return {};
  return Trimmed(value.c_str());
}

int Number(DcmItem& item, const DcmTagKey& tag) {
  const std::string t = Text(item, tag);
  try {
    return t.empty() ? 0 : std::stoi(t);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

bool IsEncapsulatedDocumentClass(std::string_view sopClassUid) {
  std::string uid(sopClassUid);
  std::replace(uid.begin(), uid.end(), ' ', '.');
  while (!uid.empty() && (uid.back() == '\0' || uid.back() == '.')) uid.pop_back();
  return uid.size() > kDocumentFamily.size() && uid.starts_with(kDocumentFamily);
}

std::string_view DocumentBytes(std::string_view value, bool lengthGiven, uint64_t length) {
  if (lengthGiven && length <= value.size()) return value.substr(0, length);
  // Without a length, a document of odd length was padded to even: only the
  // one padding byte goes, never bytes of a document that was even already.
  if (!value.empty() && value.size() % 2 == 0 && (value.back() == '\0' || value.back() == ' '))
    return value.substr(0, value.size() - 1);
  return value;
}

bool IsPdfMime(std::string_view mime) {
  return Lower(Trimmed(std::string(mime))) == "application/pdf";
}

bool IsTextMime(std::string_view mime) {
  const std::string m = Lower(Trimmed(std::string(mime)));
  return m.starts_with("text/") || m == "application/xml" || m.ends_with("+xml");
}

std::string PdfProblem(std::string_view bytes) {
  if (bytes.empty()) return "the document is empty";
  if (bytes.substr(0, 1024).find("%PDF-") == std::string_view::npos)
    return "not a PDF: the document has no %PDF- header";
  return {};
}

std::string DocumentExtension(std::string_view mime) {
  const std::string m = Lower(Trimmed(std::string(mime)));
  if (m == "application/pdf") return ".pdf";
  if (m == "text/xml" || m == "application/xml" || m.ends_with("+xml")) return ".xml";
  if (m == "model/stl" || m == "application/sla" || m == "model/x.stl-binary") return ".stl";
  if (m == "model/obj") return ".obj";
  if (m == "model/mtl") return ".mtl";
  if (m == "text/plain") return ".txt";
  return ".bin";
}

bool ReadEncapsulatedDocument(const std::string& path, TEncapsulatedDocument& doc,
                              std::string& why) {
  doc = {};
  std::error_code ec;
  const uintmax_t fileSize = std::filesystem::file_size(path, ec);
  if (ec) {
    why = "cannot read " + path + ": " + ec.message();
    return false;
  }
  DcmFileFormat file;
  // Large values stay in the file until asked for: the document is loaded
  // once its length has been checked against the file's.
  const OFCondition loaded = file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096);
  if (loaded.bad()) {
    why = std::string("not a readable DICOM file: ") + loaded.text();
    return false;
  }
  DcmDataset& ds = *file.getDataset();
  doc.sopClassUid = Text(ds, DCM_SOPClassUID);
  if (doc.sopClassUid.empty())
    doc.sopClassUid = Text(*file.getMetaInfo(), DCM_MediaStorageSOPClassUID);
  DcmElement* value = nullptr;
  const bool hasValue = ds.findAndGetElement(DCM_EncapsulatedDocument, value).good() && value;
  if (!IsEncapsulatedDocumentClass(doc.sopClassUid) && !hasValue) {
    why = doc.sopClassUid.empty()
              ? "not an encapsulated document (no SOP class)"
              : "not an encapsulated document (SOP class " + doc.sopClassUid + ")";
    return false;
  }
  // Texts only: the document's bytes are no text and stay as they are.
  file.convertToUTF8();
  doc.sopInstanceUid = Text(ds, DCM_SOPInstanceUID);
  doc.patientName = Text(ds, DCM_PatientName);
  doc.patientId = Text(ds, DCM_PatientID);
  doc.studyInstanceUid = Text(ds, DCM_StudyInstanceUID);
  doc.studyDate = Text(ds, DCM_StudyDate);
  doc.studyDescription = Text(ds, DCM_StudyDescription);
  doc.seriesInstanceUid = Text(ds, DCM_SeriesInstanceUID);
  doc.seriesDescription = Text(ds, DCM_SeriesDescription);
  doc.modality = Text(ds, DCM_Modality);
  doc.seriesNumber = Number(ds, DCM_SeriesNumber);
  doc.instanceNumber = Number(ds, DCM_InstanceNumber);
  doc.contentDate = Text(ds, DCM_ContentDate);
  doc.contentTime = Text(ds, DCM_ContentTime);
  if (doc.contentDate.empty()) doc.contentDate = Text(ds, DCM_AcquisitionDateTime).substr(0, 8);
  doc.title = Text(ds, DCM_DocumentTitle);
  doc.mimeType = Text(ds, DCM_MIMETypeOfEncapsulatedDocument);
  Uint32 declared = 0;
  if (ds.findAndGetUint32(DCM_EncapsulatedDocumentLength, declared).good()) {
    doc.lengthGiven = true;
    doc.lengthDeclared = declared;
  }

  if (!hasValue) {
    why = "the object holds no Encapsulated Document (0042,0011)";
    return false;
  }
  const uint64_t length = value->getLength();
  if (length > fileSize) {
    why = "the Encapsulated Document (0042,0011) claims " + std::to_string(length) +
          " bytes, more than the file holds";
    return false;
  }
  Uint8* data = nullptr;
  if (length > 0 && (value->getUint8Array(data).bad() || !data)) {
    why = "the Encapsulated Document (0042,0011) cannot be read (the file ends early)";
    return false;
  }
  const std::string_view whole(reinterpret_cast<const char*>(data), data ? length : 0);
  doc.bytes = std::string(DocumentBytes(whole, doc.lengthGiven, doc.lengthDeclared));
  if (doc.lengthGiven && doc.lengthDeclared > whole.size())
    doc.warning = "Encapsulated Document Length (0042,0015) says " +
                  std::to_string(doc.lengthDeclared) + " bytes, the value holds " +
                  std::to_string(whole.size());
  if (doc.bytes.empty()) {
    why = "the Encapsulated Document (0042,0011) is empty";
    return false;
  }
  return true;
}

// ---- CDA text -----------------------------------------------------------------

namespace {

constexpr int kMaxDepth = 256;

std::string LocalName(std::string_view qname) {
  const size_t colon = qname.find(':');
  return Lower(colon == std::string_view::npos ? qname : qname.substr(colon + 1));
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Character data with its references resolved; an unknown reference stays as
// written.
std::string Unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    const size_t semi = s.find(';', i);
    if (semi == std::string_view::npos || semi - i > 12) {
      out += s[i];
      continue;
    }
    const std::string_view name = s.substr(i + 1, semi - i - 1);
    if (name == "amp")
      out += '&';
    else if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "quot")
      out += '"';
    else if (name == "apos")
      out += '\'';
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits(name.substr(hex ? 2 : 1));
      uint32_t cp = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : -1;
        if (d < 0)
          ok = false;
        else
          cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      }
      if (!ok) {
        out += s.substr(i, semi - i + 1);
      } else {
        AppendUtf8(out, cp);
      }
    } else {
      out += s.substr(i, semi - i + 1);
    }
    i = semi;
  }
  return out;
}

// Builds the text: runs of white space become one space, and block elements
// start new lines.
class TTextOut {
 public:
  void Words(std::string_view s) {
    for (char c : s) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        space_ = true;
        continue;
      }
      if (space_ && !out_.empty() && out_.back() != '\n' && out_.back() != '\t') out_ += ' ';
      space_ = false;
      out_ += c;
    }
  }
  void Break(int blankLines = 0) {
    space_ = false;
    while (!out_.empty() && (out_.back() == ' ' || out_.back() == '\t')) out_.pop_back();
    if (out_.empty()) return;
    if (out_.back() != '\n') out_ += '\n';
    for (int k = 0; k < blankLines && !out_.ends_with("\n\n"); ++k) out_ += '\n';
  }
  void Tab() {
    space_ = false;
    if (!out_.empty() && out_.back() != '\n') out_ += '\t';
  }
  std::string Take() {
    Break();
    while (!out_.empty() && out_.back() == '\n') out_.pop_back();
    return std::move(out_);
  }

 private:
  std::string out_;
  bool space_ = false;
};

bool IsBlock(const std::string& name) {
  static const char* const kBlocks[] = {"paragraph", "br",      "item",  "tr",    "list",
                                        "table",     "caption", "thead", "tbody", "tfoot"};
  return std::any_of(std::begin(kBlocks), std::end(kBlocks),
                     [&](const char* b) { return name == b; });
}

}  // namespace

std::string CdaReadableText(std::string_view xml) {
  TTextOut out;
  std::vector<std::string> open;  // element names from the root
  // Text is kept inside a title or a section's narrative block only: the
  // header's names and codes and the coded entries repeat or encode what
  // the narrative says.
  int keep = 0;               // open elements that keep their text
  std::vector<bool> keeping;  // per open element: whether it counted in keep
  auto inside = [&](const char* name) {
    return std::find(open.begin(), open.end(), name) != open.end();
  };
  size_t i = 0;
  while (i < xml.size()) {
    if (xml[i] != '<') {
      const size_t next = xml.find('<', i);
      const size_t end = next == std::string_view::npos ? xml.size() : next;
      if (keep > 0) out.Words(Unescape(xml.substr(i, end - i)));
      i = end;
      continue;
    }
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<!--")) {
      const size_t end = xml.find("-->", i + 4);
      i = end == std::string_view::npos ? xml.size() : end + 3;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      const size_t end = xml.find("]]>", i + 9);
      const size_t stop = end == std::string_view::npos ? xml.size() : end;
      if (keep > 0) out.Words(xml.substr(i + 9, stop - i - 9));
      i = end == std::string_view::npos ? xml.size() : end + 3;
      continue;
    }
    if (rest.starts_with("<?") || rest.starts_with("<!")) {
      const size_t end = xml.find('>', i + 2);
      i = end == std::string_view::npos ? xml.size() : end + 1;
      continue;
    }
    // A tag; quoted attribute values may hold '>'.
    size_t j = i + 1;
    char quote = 0;
    while (j < xml.size() && (quote || xml[j] != '>')) {
      if (quote && xml[j] == quote)
        quote = 0;
      else if (!quote && (xml[j] == '"' || xml[j] == '\''))
        quote = xml[j];
      ++j;
    }
    if (j >= xml.size()) break;  // the document ends inside a tag
    std::string_view tag = xml.substr(i + 1, j - i - 1);
    i = j + 1;
    const bool closing = tag.starts_with("/");
    const bool selfClosing = !closing && tag.ends_with("/");
    if (closing) tag.remove_prefix(1);
    if (selfClosing) tag.remove_suffix(1);
    const size_t nameEnd = tag.find_first_of(" \t\r\n/");
    const std::string name = LocalName(tag.substr(0, nameEnd));
    if (closing) {
      // Closes the nearest open element of that name; a stray end tag is ignored.
      const auto at = std::find(open.rbegin(), open.rend(), name);
      if (at == open.rend()) continue;
      const size_t depth = static_cast<size_t>(open.rend() - at) - 1;
      while (open.size() > depth) {
        const std::string& n = open.back();
        if (keeping.back()) --keep;
        if (n == "title")
          out.Break();
        else if (n == "section" || n == "text")
          out.Break(1);
        else if (IsBlock(n))
          out.Break();
        else if (n == "td" || n == "th")
          out.Tab();
        open.pop_back();
        keeping.pop_back();
      }
      continue;
    }
    if (name == "br") {
      if (keep > 0) out.Break();
      continue;
    }
    if (name == "title" || name == "section")
      out.Break(1);
    else if (IsBlock(name) && keep > 0)
      out.Break();
    if (selfClosing) continue;
    if (open.size() >= static_cast<size_t>(kMaxDepth)) continue;
    // An unstructured body's text is kept unless it is base64 data.
    const bool keeps =
        name == "title" || (name == "text" && inside("section")) ||
        (name == "text" && inside("nonxmlbody") && tag.find("B64") == std::string_view::npos);
    open.push_back(name);
    keeping.push_back(keeps);
    if (keeps) ++keep;
  }
  return out.Take();
}

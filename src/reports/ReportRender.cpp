// The report as text and as HTML: both follow the content tree in document
// order, so the window, the command-line tool and the tests read the same.
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "reports/StructuredReport.h"

namespace reports {

namespace {

std::string Meaning(const TSrCode& c) {
  if (!c.meaning.empty()) return c.meaning;
  if (!c.value.empty()) return c.value + " (" + c.scheme + ")";
  return "";
}

std::string Join(std::initializer_list<std::string> parts, const char* sep) {
  std::string out;
  for (const std::string& p : parts)
    if (!p.empty()) out += (out.empty() ? "" : sep) + p;
  return out;
}

struct THeaderLine {
  std::string label, value;
};

std::vector<THeaderLine> HeaderLines(const TSrDocument& d) {
  std::vector<THeaderLine> lines;
  const auto add = [&lines](const char* label, const std::string& value) {
    if (!value.empty()) lines.push_back({label, value});
  };
  add("Document", d.className + (d.readAs.empty() ? "" : " (class " + d.sopClassUid + ")"));
  std::string patient = d.patientName;
  if (!d.patientId.empty())
    patient += (patient.empty() ? "" : ", ") + std::string("ID ") + d.patientId;
  if (!d.patientBirthDate.empty()) patient += ", born " + d.patientBirthDate;
  if (!d.patientSex.empty()) patient += ", sex " + d.patientSex;
  add("Patient", patient);
  add("Study", Join({d.studyDescription, Join({d.studyDate, d.studyTime}, " "),
                     d.accessionNumber.empty() ? "" : "accession " + d.accessionNumber},
                    ", "));
  add("Referring physician", d.referringPhysician);
  add("Series",
      Join({d.seriesDescription, d.seriesNumber.empty() ? "" : "#" + d.seriesNumber}, " "));
  add("Manufacturer", d.manufacturer);
  add("Content", Join({d.contentDate, d.contentTime}, " "));
  add("Completion", Join({d.completionFlag, d.completionFlagDescription}, ": "));
  add("Verification", d.verificationFlag);
  add("Preliminary", d.preliminaryFlag);
  for (const TSrObserver& o : d.verifiers)
    add("Verified by", Join({o.name, o.organization, o.dateTime}, ", "));
  return lines;
}

// What an item without a concept name is called: its kind, in words.
std::string KindName(const std::string& valueType) {
  static const std::pair<const char*, const char*> kNames[] = {{"CONTAINER", "Section"},
                                                               {"TEXT", "Text"},
                                                               {"CODE", "Code"},
                                                               {"NUM", "Number"},
                                                               {"DATE", "Date"},
                                                               {"TIME", "Time"},
                                                               {"DATETIME", "Date and time"},
                                                               {"UIDREF", "UID"},
                                                               {"PNAME", "Person"},
                                                               {"IMAGE", "Image"},
                                                               {"COMPOSITE", "Object"},
                                                               {"WAVEFORM", "Waveform"},
                                                               {"SCOORD", "Spatial coordinates"},
                                                               {"SCOORD3D", "3D coordinates"},
                                                               {"TCOORD", "Temporal coordinates"},
                                                               {"BYREF", "Reference"}};
  for (const auto& [type, name] : kNames)
    if (valueType == type) return name;
  return "(" + valueType + ")";
}

std::string ItemLabel(const TSrNode& n) {
  if (n.valueType == "BYREF") return KindName(n.valueType);
  const std::string conceptName = Meaning(n.conceptName);
  return conceptName.empty() ? KindName(n.valueType) : conceptName;
}

std::string Relationship(const TSrNode& n) {
  if (n.relationship.empty() || n.relationship == "CONTAINS") return "";
  std::string r;
  for (char c : n.relationship) r += char(std::tolower(uint8_t(c)));
  return "[" + r + "] ";
}

void TextNode(const TSrDocument& d, int index, std::string& out) {
  const TSrNode& n = d.nodes[size_t(index)];
  std::string value = n.text;
  if (n.valueType == "BYREF" && n.targetNode >= 0)
    value += " (" + ItemLabel(d.nodes[size_t(n.targetNode)]) + ")";
  for (size_t p = 0; (p = value.find('\n', p)) != std::string::npos; p += 1)
    value.replace(p, 1, "\n" + std::string(size_t(n.depth) * 2 + 4, ' '));
  out += std::string(size_t(n.depth) * 2, ' ') + Relationship(n) + ItemLabel(n);
  if (!value.empty()) out += ": " + value;
  if (!n.observationDateTime.empty()) out += " {" + n.observationDateTime + "}";
  if (!n.problem.empty()) out += " (" + n.problem + ")";
  out += "\n";
  for (int c : n.children) TextNode(d, c, out);
}

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '\n':
        out += "<br>";
        break;
      default:
        out += c;
    }
  return out;
}

class HtmlWriter {
 public:
  explicit HtmlWriter(const TSrDocument& d) : d_(d) {}

  std::string Write() {
    const std::string title = d_.title.empty() ? d_.className : Meaning(d_.title);
    out_ += "<html><head><meta charset=\"utf-8\"><title>" + Escape(title) +
            "</title></head><body>\n<h1>" + Escape(title) + "</h1>\n<table>\n";
    for (const THeaderLine& l : HeaderLines(d_))
      out_ += "<tr><td><b>" + Escape(l.label) + "</b></td><td>" + Escape(l.value) + "</td></tr>\n";
    out_ += "</table>\n";
    if (d_.nodes.empty()) return Finish();
    const TSrNode& root = d_.nodes.front();
    // The root's observation context first, as the facts the report rests on.
    bool context = false;
    for (int c : root.children) {
      const TSrNode& n = d_.nodes[size_t(c)];
      if (n.relationship != "HAS OBS CONTEXT") continue;
      if (!context) out_ += "<h3>Observation context</h3>\n<table>\n";
      context = true;
      out_ += "<tr><td><a name=\"node-" + std::to_string(c) + "\"></a><b>" + Escape(ItemLabel(n)) +
              "</b></td><td>" + Value(c) + "</td></tr>\n";
    }
    if (context) out_ += "</table>\n";
    for (int c : root.children)
      if (d_.nodes[size_t(c)].relationship != "HAS OBS CONTEXT") Node(c, 2);
    return Finish();
  }

 private:
  std::string Finish() {
    if (!d_.notes.empty()) {
      out_ += "<h3>Notes</h3>\n<ul>\n";
      for (const std::string& n : d_.notes) out_ += "<li>" + Escape(n) + "</li>\n";
      out_ += "</ul>\n";
    }
    out_ += "</body></html>\n";
    return out_;
  }

  std::string Value(int index) {
    const TSrNode& n = d_.nodes[size_t(index)];
    const std::string link = "sr-node:" + std::to_string(index);
    if (n.valueType == "IMAGE") return "<a href=\"" + link + "\">" + Escape(n.text) + "</a>";
    if (n.valueType == "SCOORD" && SelectedImage(d_, index) >= 0)
      return "<a href=\"" + link + "\">" + Escape(n.text) + " (show on the image)</a>";
    if (n.valueType == "BYREF" && n.targetNode >= 0) {
      const TSrNode& t = d_.nodes[size_t(n.targetNode)];
      return "<a href=\"#node-" + std::to_string(n.targetNode) + "\">see " + Escape(t.position) +
             " " + Escape(ItemLabel(t)) + "</a>";
    }
    std::string v = Escape(n.text);
    if (n.valueType == "NUM" && !n.number.empty()) v = "<b>" + v + "</b>";
    return v;
  }

  void Node(int index, int heading) {
    const TSrNode& n = d_.nodes[size_t(index)];
    const std::string anchor = "<a name=\"node-" + std::to_string(index) + "\"></a>";
    const std::string margin = "margin-left:" + std::to_string(std::min(n.depth, 12) * 16) + "px";
    if (n.valueType == "CONTAINER" && n.relationship != "HAS OBS CONTEXT" &&
        n.relationship != "HAS ACQ CONTEXT") {
      const std::string h = std::to_string(std::min(heading, 6));
      const std::string label = Meaning(n.conceptName);
      if (!label.empty())
        out_ +=
            "<h" + h + " style=\"" + margin + "\">" + anchor + Escape(label) + "</h" + h + ">\n";
      else
        out_ += anchor;
      for (int c : n.children) Node(c, heading + 1);
      return;
    }
    out_ += "<p style=\"" + margin + "\">" + anchor;
    const std::string rel = Relationship(n);
    if (!rel.empty()) out_ += "<i>" + Escape(rel) + "</i>";
    out_ += "<b>" + Escape(ItemLabel(n)) + "</b>";
    const std::string value = Value(index);
    if (!value.empty()) out_ += ": " + value;
    if (!n.problem.empty()) out_ += " <i>(" + Escape(n.problem) + ")</i>";
    out_ += "</p>\n";
    for (int c : n.children) Node(c, heading + 1);
  }

  const TSrDocument& d_;
  std::string out_;
};

}  // namespace

std::string ReportText(const TSrDocument& d) {
  std::string out;
  for (const THeaderLine& l : HeaderLines(d)) out += l.label + ": " + l.value + "\n";
  out += "\n";
  if (!d.nodes.empty()) TextNode(d, 0, out);
  for (const std::string& n : d.notes) out += "note: " + n + "\n";
  return out;
}

std::string ReportHtml(const TSrDocument& d) {
  return HtmlWriter(d).Write();
}

}  // namespace reports

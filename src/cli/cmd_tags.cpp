// tavrolen-dicom tags FILE [--json]: every element of a file, sequences as
// nested items, with tag, VR, keyword, name and value, from the same walk
// the tag browser shows.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/DicomElements.h"
#include "json.h"

namespace {

void WriteElements(cli::JsonWriter& j, const std::vector<TagElement>& elements);

// JSON has no NaN or infinity: such floats are null.
void WriteNumber(cli::JsonWriter& j, const ElementNumber& n) {
  const bool isFloat = n.kind == ElementNumber::Float32 || n.kind == ElementNumber::Float64;
  if (isFloat && !std::isfinite(n.f))
    j.Null();
  else
    j.Number(NumberText(n, true));
}

void WriteElement(cli::JsonWriter& j, const TagElement& e) {
  j.BeginObject();
  j.Field("tag", TagText(e.tag));
  j.Field("vr", e.vr);
  j.Key("keyword").Utf8(e.keyword);
  j.Key("name").Utf8(e.name);
  if (!e.creator.empty()) j.Key("creator").Utf8(e.creator);
  switch (e.kind) {
    case TagElement::Kind::Sequence:
      j.Key("items").BeginArray();
      for (const auto& item : e.items) WriteElements(j, item);
      j.EndArray();
      break;
    case TagElement::Kind::Bulk:
      j.Field("length", e.length);
      break;
    case TagElement::Kind::Numbers:
      j.Key("value");
      if (e.numbers.empty()) {
        j.Null();
      } else if (e.numbers.size() == 1) {
        WriteNumber(j, e.numbers[0]);
      } else {
        j.BeginArray(true);
        for (const auto& n : e.numbers) WriteNumber(j, n);
        j.EndArray();
      }
      break;
    case TagElement::Kind::Tags:
      j.Key("value");
      if (e.texts.empty()) {
        j.Null();
      } else if (e.texts.size() == 1) {
        j.String(e.texts[0]);
      } else {
        j.BeginArray(true);
        for (const auto& t : e.texts) j.String(t);
        j.EndArray();
      }
      break;
    case TagElement::Kind::Text:
      j.Key("value").Utf8(ElementValueText(e));
      break;
  }
  j.EndObject();
}

void WriteElements(cli::JsonWriter& j, const std::vector<TagElement>& elements) {
  j.BeginArray();
  for (const auto& e : elements) WriteElement(j, e);
  j.EndArray();
}

int Tags(const std::vector<std::string>& args) {
  std::string path;
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "tavrolen-dicom tags: unknown option %s\n", a.c_str());
      return 2;
    } else if (path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "tavrolen-dicom tags: one file at a time\n");
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: tavrolen-dicom tags FILE [--json]\n");
    return 2;
  }
  const TagListing listing = ReadTagListing(path);
  if (!listing.ok) {
    std::fprintf(stderr, "tavrolen-dicom tags: %s: %s\n", path.c_str(), listing.error.c_str());
    return 1;
  }
  if (!listing.warning.empty())
    std::fprintf(stderr, "tavrolen-dicom tags: %s: %s\n", path.c_str(), listing.warning.c_str());
  if (json) {
    cli::JsonWriter j(1);
    WriteElements(j, listing.elements);
    std::fwrite(j.str().data(), 1, j.str().size(), stdout);
    std::fputc('\n', stdout);
  } else {
    const std::string text = TagListingText(listing.elements);
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return 0;
}

const cli::Register kTags("tags",
                          "tags FILE [--json]      every element of the file (sequences nested), "
                          "with tag, VR, keyword, name and value",
                          Tags);

}  // namespace

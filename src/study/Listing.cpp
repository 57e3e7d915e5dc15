#include "study/Listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

#include "study/LoadCommon.h"

using study::detail::EqualsNoCase;
using study::detail::ToLower;

std::string LowerExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return {};
  return ToLower(path.substr(dot));
}

bool IsListedExtension(const std::string& lowerExt) {
  // Archives and modalities name files by their SOP Instance UID, whose last
  // component reads as an all-digit extension, and Siemens writes .ima.
  const bool digits =
      lowerExt.size() > 1 && std::all_of(lowerExt.begin() + 1, lowerExt.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
  return lowerExt.empty() || digits || lowerExt == ".dcm" || lowerExt == ".dcn" ||
         lowerExt == ".dic" || lowerExt == ".dicom" || lowerExt == ".ima" ||
         IsReportExtension(lowerExt);
}

bool IsReportExtension(const std::string& lowerExt) {
  return lowerExt == ".rtf" || lowerExt == ".doc" || lowerExt == ".docx" || lowerExt == ".txt" ||
         lowerExt == ".pdf";
}

bool NeedsImagesBeside(const std::string& lowerExt) {
  return lowerExt == ".txt";
}

std::string ParentFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

namespace {

struct TDirId {
  dev_t dev;
  ino_t ino;
  bool operator<(const TDirId& o) const { return std::tie(dev, ino) < std::tie(o.dev, o.ino); }
};

using TFileSink = std::function<void(std::string&&)>;

// Plain readdir: the entry type comes with the listing on most file systems,
// so only links and unknown types cost a stat of their own, and no path
// object is built per entry (a folder of 10,000 files lists in a few ms).
void ListDirectory(const std::string& dir, const TFileSink& add, std::set<TDirId>& visited,
                   const study::TCancelToken* cancel) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  struct stat st;
  // A directory reached twice (through links) is listed once.
  if (::fstat(::dirfd(d), &st) != 0 || !visited.insert({st.st_dev, st.st_ino}).second) {
    ::closedir(d);
    return;
  }
  struct TEntry {
    std::string name;
    unsigned char type;
  };
  std::vector<TEntry> entries;
  while (const dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    entries.push_back({name, e->d_type});
  }
  ::closedir(d);
  std::sort(entries.begin(), entries.end(),
            [](const TEntry& a, const TEntry& b) { return a.name < b.name; });

  const std::string prefix = !dir.empty() && dir.back() == '/' ? dir : dir + '/';
  for (const TEntry& entry : entries) {
    if (study::IsCancelled(cancel)) return;
    if (EqualsNoCase(entry.name, "dicomdir")) continue;
    // The extension rule is for files: folders named by UID ("1.2.840...")
    // or by date ("2024.05") hold images too.
    const bool listed = IsListedExtension(LowerExtension(entry.name));
    if (!listed && entry.type == DT_REG) continue;
    std::string path = prefix + entry.name;
    bool isDir = entry.type == DT_DIR;
    bool isFile = entry.type == DT_REG;
    if (entry.type == DT_LNK || entry.type == DT_UNKNOWN) {
      // Links are followed; a dangling one is left out.
      if (::stat(path.c_str(), &st) != 0) continue;
      isDir = S_ISDIR(st.st_mode);
      isFile = S_ISREG(st.st_mode);
    }
    if (isDir) {
      ListDirectory(path, add, visited, cancel);
    } else if (isFile && listed) {
      add(std::move(path));
    }
  }
}

}  // namespace

void list_DirectoryFiles(const std::string& path, const TFileSink& add,
                         const study::TCancelToken* cancel) {
  std::set<TDirId> visited;
  ListDirectory(path, add, visited, cancel);
}

void list_DirectoryFiles(const std::string& path, TStringArray& list) {
  list_DirectoryFiles(
      path, [&list](std::string&& p) { list.push_back(std::move(p)); }, nullptr);
}

#include "export/Zip.h"

#include <zip.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dicom/TempCleanup.h"

namespace exporter {

namespace {
struct TZipState {
  const TZipProgress* progress;
  bool cancelled = false;
};

void OnProgress(zip_t*, double fraction, void* state) {
  auto* s = static_cast<TZipState*>(state);
  if (*s->progress && !(*s->progress)(fraction)) s->cancelled = true;
}

int OnCancel(zip_t*, void* state) {
  return static_cast<TZipState*>(state)->cancelled ? 1 : 0;
}
}  // namespace

bool WriteZip(const std::string& folder, const std::vector<std::string>& entries,
              const std::string& target, const TZipProgress& progress, std::string& why) {
  const std::string temp = target + ".part-" + tempcleanup::RandomSuffix();
  const int slot = tempcleanup::Register(temp, false);
  auto fail = [&](const std::string& reason) {
    std::remove(temp.c_str());
    tempcleanup::Unregister(slot);
    why = target + ": " + reason;
    return false;
  };
  int error = 0;
  zip_t* za = zip_open(temp.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
  if (!za) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    std::string reason = zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return fail(reason);
  }
  for (const std::string& entry : entries) {
    const std::string path = folder + "/" + entry;
    zip_source_t* src = zip_source_file(za, path.c_str(), 0, -1);
    if (!src) {
      std::string reason = zip_strerror(za);
      zip_discard(za);
      return fail(reason);
    }
    const zip_int64_t index = zip_file_add(za, entry.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(src);
      std::string reason = zip_strerror(za);
      zip_discard(za);
      return fail(reason);
    }
    // Fast deflate: uncompressed pixels halve, compressed ones cost little.
    zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
  }
  TZipState state{&progress};
  zip_register_progress_callback_with_state(za, 0.01, OnProgress, nullptr, &state);
  zip_register_cancel_callback_with_state(za, OnCancel, nullptr, &state);
  if (zip_close(za) != 0) {
    std::string reason = state.cancelled ? std::string("cancelled") : zip_strerror(za);
    zip_discard(za);
    return fail(reason);
  }
  if (std::rename(temp.c_str(), target.c_str()) != 0) return fail(std::strerror(errno));
  tempcleanup::Unregister(slot);
  return true;
}

}  // namespace exporter

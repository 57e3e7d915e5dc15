// The waveform reader on arbitrary bytes. DCMTK parses from a path, so each
// input goes through one temporary file of the process.
#include <dcmtk/oflog/oflog.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "waveforms/Waveform.h"

namespace {

const std::string& TempPath() {
  static const std::string path = [] {
    char name[] = "/tmp/tavrolen-waveform-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(TempPath().c_str()); });
    // The library's own complaints about broken input are not findings.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = TempPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  TWaveform w;
  std::string why;
  if (!ReadWaveform(path, w, why)) {
    if (why.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  for (const TWaveformGroup& g : w.groups) {
    if (!g.refused.empty()) {
      if (!g.channels.empty()) __builtin_trap();
      continue;
    }
    // Every sample came from the input.
    if (g.channels.size() != g.channelCount) __builtin_trap();
    if (uint64_t(g.sampleCount) * g.channels.size() * uint64_t(g.bitsAllocated / 8) > size)
      __builtin_trap();
    for (const TWaveformChannel& ch : g.channels) {
      if (ch.samples.size() != g.sampleCount) __builtin_trap();
      (void)StandardLeadName(ch);
    }
  }
  for (const TWaveformAnnotation& a : w.annotations) (void)a.Text();
  return 0;
}

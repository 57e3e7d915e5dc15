// Files of the Deflated Explicit VR Little Endian syntax (1.2.840.10008.1.2.1.99):
// the meta group as stored, then the data set as one raw deflate stream. The
// header reader walks, and the frame decoder reads pixels from, one logical
// stream: the file's bytes up to the end of the meta group followed by the
// inflated data set. Every position the reader records refers to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kDeflatedSyntax = "1.2.840.10008.1.2.1.99";

// Inflation stops at 64 MiB plus this many bytes per compressed byte, or at
// the memory cap, whichever is smaller: a bomb is refused, not followed. Real
// data sets rarely shrink more than tenfold (deflate itself cannot pass 1032);
// the allowance keeps small blank images readable.
inline constexpr int64_t kMaxInflateRatio = 256;
inline constexpr int64_t kInflateAllowance = int64_t{64} << 20;
inline constexpr int64_t kMaxInflatedBytes = int64_t{1} << 30;

enum class DeflateVerdict {
  kNotDeflated,  // no meta group naming the syntax: read the file as it is
  kInflated,
  kRefused,  // named, but it expands past the bounds or is not a deflate stream
};

class InflatedFile;
DeflateVerdict InflateDataSet(const uint8_t* data, size_t size, InflatedFile& out,
                              std::string* why);

// The logical stream. Its block is reserved at the bound and written once by
// the inflater, then cut to size: pages never written are never touched.
class InflatedFile {
 public:
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  bool truncated = false;  // the deflate stream ended before its end marker

 private:
  friend DeflateVerdict InflateDataSet(const uint8_t*, size_t, InflatedFile&, std::string*);
  struct Free {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t, Free> data_;
  size_t size_ = 0;
};

// Where the meta group of a Part 10 file held in `data` ends, when it names
// the deflated syntax; 0 otherwise.
size_t DeflatedDataSetStart(const uint8_t* data, size_t size);

// Inflates the data set of a file held in memory. A stream that carries a
// zlib header (against the standard) is read too, as DCMTK does.
DeflateVerdict InflateDataSet(const uint8_t* data, size_t size, InflatedFile& out,
                              std::string* why);

// The logical stream of the file at `path`, kept for the frames that follow
// (the last few files, keyed by path, size and time). Null when the file is
// not deflated; null with `why` set when it is refused or cannot be read.
std::shared_ptr<const InflatedFile> InflatedDataSetOf(const std::string& path,
                                                      std::string* why = nullptr);

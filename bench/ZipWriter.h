#pragma once
// Writes a zip package through libzip. Large parts are pulled from a
// PartStream chunk by chunk while libzip deflates them, so no part is ever
// held whole in memory.

#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

struct zip;

namespace quorvane::bench {

class PartStream {
 public:
  virtual ~PartStream() = default;
  // Appends the next chunk to `out`; false once the part is complete.
  virtual bool Next(std::string& out) = 0;
};

// Makes a fresh stream positioned at the start of the part. libzip may read a
// part more than once, so streams must be reproducible.
using PartFactory = std::function<std::unique_ptr<PartStream>()>;

class ZipWriter {
 public:
  // Creates or truncates `file`. Throws std::runtime_error.
  explicit ZipWriter(const std::filesystem::path& file, int level = 6);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  void Add(const std::string& name, std::string content);
  void AddStream(const std::string& name, PartFactory factory);
  // Writes the archive; nothing is written when this is never called.
  void Close();

  struct Source;  // a streamed part's state, owned here for libzip's callbacks

 private:
  struct Closer {
    void operator()(zip* z) const;
  };

  void AddSource(const std::string& name, void* source);

  std::filesystem::path file_;
  int level_;
  std::deque<std::string> buffers_;  // kept alive until Close
  std::deque<std::unique_ptr<Source>> sources_;
  // Last, so an unwritten archive is discarded while its sources still exist.
  std::unique_ptr<zip, Closer> zip_;
};

// Every entry's modification time: fixed so that output is reproducible.
std::time_t FixedEntryTime();

}  // namespace quorvane::bench

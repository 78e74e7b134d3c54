#pragma once
// Writing the zip container: untouched entries copied byte for byte, new
// ones added, the directory written last (zip64 where needed).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ooxml/ZipInput.h"
#include "ooxml/ZipReader.h"

namespace quorvane::ooxml::zip {

class Writer {
 public:
  using Sink = std::function<void(const char* data, std::size_t n)>;
  explicit Writer(Sink sink) : sink_(std::move(sink)) {}

  // The entry's local header, data and descriptor exactly as in the source.
  void CopyRaw(WindowReader& in, const Entry& e);
  // A new entry with the given content. Name, times, flags and attributes
  // come from `like` when the entry replaces one; stored when `like` was
  // stored, deflated otherwise.
  void Add(std::string_view name, std::string_view content, const Entry* like);
  // The same for content deflated beforehand (see Deflate); always deflated.
  void AddDeflated(std::string_view name, std::string_view compressed, std::uint32_t crc, std::uint64_t size,
                   const Entry* like);
  // Central directory and end records, with zip64 records when needed.
  void Finish(std::string_view comment);

  std::uint64_t Written() const { return written_; }

 private:
  void Emit(std::string_view bytes);
  void Write(std::string_view name, std::string_view data, std::uint32_t crc, std::uint64_t usize,
             std::uint16_t method, const Entry* like);

  Sink sink_;
  std::uint64_t written_ = 0;
  std::string central_;
  std::uint64_t count_ = 0;
};

}  // namespace quorvane::ooxml::zip

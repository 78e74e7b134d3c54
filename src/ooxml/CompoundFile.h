#pragma once
// The root streams of a compound file, the container of legacy workbooks
// (.xls) and of encrypted packages, read just far enough to tell what the
// file holds. Every structure is bounds-checked: a damaged file throws
// PackageError, never reads outside the file and never loops.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/ZipInput.h"

namespace quorvane::ooxml::cfb {

// True when the file starts with the compound file signature.
bool IsCompoundFile(const zip::Input& in);

class CompoundFile {
 public:
  // Reads the header and the directory of the root storage.
  explicit CompoundFile(const zip::Input& in);

  // Whether the root storage holds a stream of this name; names compare
  // without regard to ASCII case, as the format wants.
  bool Has(std::u16string_view name) const;
  // Up to `limit` bytes from the start of a root stream; "" when there is none.
  std::string Read(std::u16string_view name, std::size_t limit) const;

 private:
  struct Stream {
    std::u16string name;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
  };

  std::uint32_t Next(std::uint32_t sector) const;
  std::uint32_t NextMini(std::uint32_t sector) const;
  std::vector<std::uint32_t> Chain(std::uint32_t start, std::uint64_t limit, bool mini) const;
  const Stream* Find(std::u16string_view name) const;

  const zip::Input& in_;
  unsigned shift_ = 9;
  std::uint32_t miniCutoff_ = 4096;
  std::uint32_t firstMiniFat_ = 0;
  std::vector<std::uint32_t> fat_;  // where each sector of the allocation table lies
  std::vector<Stream> streams_;     // the root storage's streams
  Stream root_;                     // the root entry: the mini stream's sectors
};

}  // namespace quorvane::ooxml::cfb

#pragma once
// A workbook package (a zip of XML parts) opened for editing. Parts are read
// on demand; edits are staged and written only by Save, which replaces the
// file whole or leaves it untouched. Entries that were not edited are copied
// raw, byte for byte, in their original order.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::ooxml {

// An input the engine will not or cannot handle, or a failed write. what() is
// a one-line reason for the user.
class PackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PackageLimits {
  std::uint64_t maxPartSize = 1ull << 31;      // inflated bytes of one part
  std::uint64_t maxCompressionRatio = 1000;    // inflated / compressed, for parts over 1 MiB
  std::size_t maxEntries = 200000;
};

// A part's new content already compressed with raw deflate (as a zip entry's
// data), so that large parts can be compressed on worker threads and only
// their compressed bytes kept until Save.
struct DeflatedPart {
  std::string data;
  std::uint32_t crc = 0;   // CRC-32 of the inflated content
  std::uint64_t size = 0;  // inflated size
};
DeflatedPart DeflatePart(std::string_view content);

// Test hooks of Save. WriteHook is called with the number of bytes written
// so far; a throw there simulates a failing disk. ReplaceHook is called once
// the new file is written, synced and checked, just before it replaces the
// workbook: the moment another program's save must not be lost.
using WriteHook = std::function<void(std::uint64_t bytesWritten)>;
using ReplaceHook = std::function<void()>;

class Package {
 public:
  // Opens and checks the file: a valid zip, no duplicate or encrypted entries,
  // no absolute or ".." entry names, well-formed content types. Throws
  // PackageError with the reason (e.g. "not a zip package", "encrypted or
  // password-protected workbook", "needs Microsoft Excel (.xls)").
  static Package Open(const std::filesystem::path& path, PackageLimits limits = {});

  Package(Package&&) noexcept;
  Package& operator=(Package&&) noexcept;
  ~Package();

  const std::filesystem::path& Path() const;
  // Entry names in their original order (parts named without a leading "/"),
  // as in the file; staged edits show in Has and Read, not here.
  const std::vector<std::string>& EntryNames() const;
  // The main workbook part, found through the package relationships.
  const std::string& MainPart() const;
  // Part names compare without regard to ASCII case; a leading "/" is ignored.
  bool Has(std::string_view name) const;
  // The inflated part; bounded by the limits. Safe to call from several
  // threads at once.
  std::string Read(std::string_view name) const;
  // The same part handed to `sink` in pieces, never held whole (a staged
  // edit comes in one piece); the checks are the same, a fault found late
  // still throws.
  void ReadInPieces(std::string_view name, const std::function<void(std::string_view)>& sink) const;
  // The inflated size the file states for a part as it was opened (0 when
  // there is no such entry); cheap, for planning work, not for trusting.
  std::uint64_t StatedSize(std::string_view name) const;

  // Staged edits, applied by Save. Replace adds the part when it is new;
  // Remove throws PackageError for a part that does not exist.
  void Replace(std::string_view name, std::string content);
  // Replace with content compressed beforehand; Read inflates it again.
  void ReplaceDeflated(std::string_view name, DeflatedPart part);
  void Remove(std::string_view name);
  bool Modified() const;

  // Writes a temporary file beside the original and atomically replaces it
  // (same permissions; file and folder synced), but only while the original
  // is still the file that was opened: another program's save in the
  // meantime is kept and this one refused. On any failure the original is
  // untouched, the temporary file is gone, and PackageError is thrown.
  // Does nothing when no edit is staged.
  void Save(const WriteHook& hook = {}, const ReplaceHook& beforeReplace = {});

 private:
  struct Impl;
  explicit Package(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::ooxml

#include "base/AtomicFile.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <system_error>

#include "base/AtomicFileDetail.h"

namespace quorvane::base {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr const char* kTempPrefix = "~$qv";
constexpr const char* kTempSuffix = ".tmp";
constexpr std::size_t kRandomDigits = 12;

std::string RandomHex() {
  std::random_device rd;
  std::uniform_int_distribution<unsigned> dist(0, 15);
  std::string s;
  for (std::size_t i = 0; i < kRandomDigits; ++i) s += "0123456789abcdef"[dist(rd)];
  return s;
}

}  // namespace

bool IsTemporaryName(const std::filesystem::path& name) {
  const std::string s = name.filename().string();
  constexpr std::size_t kPrefix = std::char_traits<char>::length(kTempPrefix);
  constexpr std::size_t kSuffix = std::char_traits<char>::length(kTempSuffix);
  if (s.size() != kPrefix + kRandomDigits + kSuffix || !s.starts_with(kTempPrefix) || !s.ends_with(kTempSuffix))
    return false;
  return std::all_of(s.begin() + kPrefix, s.end() - kSuffix,
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

namespace {

// mkstemp's shape, as the backup copier named its files before.
bool IsOlderCopierName(const std::string& s) {
  constexpr std::string_view kPrefix = ".quorvane-copy.";
  if (s.size() != kPrefix.size() + 6 || !s.starts_with(kPrefix)) return false;
  return std::all_of(s.begin() + kPrefix.size(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

bool IsLeftoverName(const std::filesystem::path& name) {
  return IsTemporaryName(name) || IsOlderCopierName(name.filename().string());
}

std::string Key(const std::filesystem::path& path) {
  std::error_code ec;
  const auto full = std::filesystem::absolute(path, ec);
  return (ec ? path : full).lexically_normal().string();
}

// Temporary files of this process. Another thread's sweep must never even
// open one: on file systems that emulate flock with process-wide record
// locks, closing that descriptor would drop the writer's own lock.
struct Registry {
  std::mutex mutex;
  std::set<std::string> held;
  std::set<std::string> swept;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

bool HeldHere(const std::filesystem::path& path) {
  Registry& r = TheRegistry();
  const std::lock_guard lock(r.mutex);
  return r.held.count(Key(path)) != 0;
}

}  // namespace

std::filesystem::path detail::NewTemporaryName(const std::filesystem::path& folder) {
  return folder / (kTempPrefix + RandomHex() + kTempSuffix);
}

void detail::Hold(const std::filesystem::path& path) {
  Registry& r = TheRegistry();
  const std::lock_guard lock(r.mutex);
  r.held.insert(Key(path));
}

void detail::Release(const std::filesystem::path& path) noexcept {
  try {
    Registry& r = TheRegistry();
    const std::lock_guard lock(r.mutex);
    r.held.erase(Key(path));
  } catch (...) {
    // Only the cost of a later sweep skipping a name that no longer exists.
  }
}

std::size_t RemoveAbandonedTemporaries(const std::filesystem::path& folder) noexcept {
  std::size_t removed = 0;
  try {
    const std::filesystem::path dir = folder.empty() ? std::filesystem::path(".") : folder;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::filesystem::path& path = it->path();
      if (!IsLeftoverName(path) || HeldHere(path)) continue;
      if (detail::RemoveIfAbandoned(path)) ++removed;
    }
  } catch (...) {
    // A folder that cannot be listed keeps its leftovers.
  }
  return removed;
}

void RemoveAbandonedTemporariesOnce(const std::filesystem::path& folder) noexcept {
  try {
    Registry& r = TheRegistry();
    {
      const std::lock_guard lock(r.mutex);
      if (!r.swept.insert(Key(folder.empty() ? std::filesystem::path(".") : folder)).second) return;
    }
    RemoveAbandonedTemporaries(folder);
  } catch (...) {
    // Out of memory for the cache: the leftovers wait for the next run.
  }
}

AtomicFile::AtomicFile(const std::filesystem::path& target, const FileStamp& expected)
    : target_(target),
      expected_(expected),
      original_(detail::HoldOriginal(target, expected)),
      temp_(target.parent_path()) {
  buffer_.reserve(kBufferSize);
}

void AtomicFile::Write(const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const std::size_t room = kBufferSize - buffer_.size();
    const std::size_t take = n < room ? n : room;
    buffer_.append(p, take);
    p += take;
    n -= take;
    if (buffer_.size() == kBufferSize) Flush();
  }
}

bool AtomicFile::OriginalChanged() const noexcept {
  try {
    return !original_ || StampOf(original_.get()) != expected_;
  } catch (...) {
    return true;
  }
}

void AtomicFile::Flush() {
  temp_.Write(buffer_.data(), buffer_.size());
  buffer_.clear();
}

AtomicFile::~AtomicFile() = default;

}  // namespace quorvane::base

#pragma once
// The one temporary folder of the tests, and whole-file reads and writes.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace quorvane::tests {

namespace fs = std::filesystem;

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const fs::path& path, std::string_view bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

// A fresh folder (created, never reused: two test programs may run at once),
// removed with everything in it at the end, read-only entries included.
class ScratchDir {
 public:
  explicit ScratchDir(std::string_view label = "test", const fs::path& parent = {}) {
    const fs::path base = parent.empty() ? fs::temp_directory_path() : parent;
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      fs::path candidate = base / ("quorvane-" + std::string(label) + "." + std::to_string(seed()));
      if (fs::create_directory(candidate)) path_ = std::move(candidate);
    }
    if (path_.empty()) throw std::runtime_error("no fresh folder under " + base.string());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }

  const fs::path& Path() const { return path_; }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

  // Writes a file (folders on the way are made); returns its path.
  fs::path File(const fs::path& relative, std::string_view bytes = "x") const {
    WriteBytes(path_ / relative, bytes);
    return path_ / relative;
  }

  // Names directly in the folder, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
  }

 private:
  fs::path path_;
};

}  // namespace quorvane::tests

#include "ooxml/Package.h"

#include <algorithm>
#include <new>
#include <set>
#include <unordered_map>

#include "base/AtomicFile.h"
#include "ooxml/Ascii.h"
#include "ooxml/Deflate.h"
#include "ooxml/FormatCheck.h"
#include "ooxml/Relationships.h"
#include "ooxml/ZipCheck.h"
#include "ooxml/ZipInput.h"
#include "ooxml/ZipReader.h"
#include "ooxml/ZipWriter.h"

namespace quorvane::ooxml {
namespace {

// Replacing a symbolic link would leave the workbook it points to as it was
// and turn the link into a copy; the file behind it is what gets replaced.
std::filesystem::path ReplaceTarget(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    auto target = std::filesystem::canonical(path, ec);
    if (!ec) return target;
  }
  return path;
}

// The file at path again, if it is still the one stamped. The time of the
// file we just put in place may differ (a replace on Windows copies what
// the original had onto it); the original's must not.
std::optional<zip::Input> Reopen(const std::filesystem::path& path, const base::FileStamp& stamp, bool ours) {
  try {
    std::optional<zip::Input> input(std::in_place, path);
    const base::FileStamp& now = input->Stamp();
    if (ours ? now.SameFile(stamp) && now.size == stamp.size : now == stamp) return input;
  } catch (...) {
    // Gone or unreadable: reads say so.
  }
  return std::nullopt;
}

}  // namespace

struct Package::Impl final : PackageParts {
  std::filesystem::path path;
  PackageLimits limits;
  std::optional<zip::Input> input;  // empty only after a failed reopen
  zip::Archive archive;
  std::vector<std::string> names;
  std::unordered_map<std::string, std::size_t> index;  // lower-cased name -> entry
  std::string mainPart;
  struct Replacement {
    std::string content;  // inflated, or deflated when `deflated`
    bool deflated = false;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
  };
  std::unordered_map<std::string, Replacement> replaced;  // lower-cased name -> content
  std::set<std::string> removed;                           // lower-cased names
  std::vector<std::string> added;                          // new parts, in order

  const zip::Entry* Find(std::string_view name) const override {
    const auto it = index.find(Lower(StripSlash(name)));
    return it == index.end() ? nullptr : &archive.entries[it->second];
  }
  std::string ReadOriginal(const zip::Entry& e) const {
    if (!input) throw PackageError("cannot read the workbook file");
    return zip::ReadEntry(*input, e, limits.maxPartSize, limits.maxCompressionRatio);
  }
  std::string Read(const zip::Entry& e) const override { return ReadOriginal(e); }
  void Load();
  void Stage(std::string_view name, Replacement r);
};

// Reads and checks everything Open promises; used again on the file Save
// wrote, before it may replace the original.
void Package::Impl::Load() {
  input.emplace(path);
  RefuseLegacyFormats(*input);
  archive = zip::ReadArchive(*input, limits.maxEntries);

  names.clear();
  index.clear();
  names.reserve(archive.entries.size());
  for (std::size_t i = 0; i < archive.entries.size(); ++i) {
    const std::string& name = archive.entries[i].name;
    if (!zip::IsSafeName(name)) throw PackageError("damaged zip package: unsafe entry name \"" + name + "\"");
    // Part names are case-insensitive, so "a.xml" and "A.xml" are one part.
    if (!index.emplace(Lower(name), i).second)
      throw PackageError("damaged zip package: duplicate entry \"" + name + "\"");
    names.push_back(name);
  }
  zip::CheckWithLibzip(*input);

  mainPart = RecogniseWorkbook(names, *this);
}

Package Package::Open(const std::filesystem::path& path, PackageLimits limits) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->limits = limits;
  try {
    impl->Load();
  } catch (const PackageError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw PackageError("out of memory while reading the package");
  }
  return Package(std::move(impl));
}

Package::Package(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Package::Package(Package&&) noexcept = default;
Package& Package::operator=(Package&&) noexcept = default;
Package::~Package() = default;

const std::filesystem::path& Package::Path() const { return impl_->path; }
const std::vector<std::string>& Package::EntryNames() const { return impl_->names; }
const std::string& Package::MainPart() const { return impl_->mainPart; }

bool Package::Has(std::string_view name) const {
  const std::string key = Lower(StripSlash(name));
  if (impl_->replaced.count(key)) return true;
  if (impl_->removed.count(key)) return false;
  const zip::Entry* e = impl_->Find(name);
  return e && !e->name.ends_with('/');
}

std::string Package::Read(std::string_view name) const {
  const std::string key = Lower(StripSlash(name));
  if (const auto it = impl_->replaced.find(key); it != impl_->replaced.end()) {
    const auto& r = it->second;
    return r.deflated ? zip::Inflate(r.content, r.size) : r.content;
  }
  const zip::Entry* e = impl_->removed.count(key) ? nullptr : impl_->Find(name);
  if (!e) throw PackageError("missing part " + std::string(StripSlash(name)));
  try {
    return impl_->ReadOriginal(*e);
  } catch (const std::bad_alloc&) {
    throw PackageError("out of memory reading part " + e->name);
  }
}

void Package::ReadInPieces(std::string_view name, const std::function<void(std::string_view)>& sink) const {
  const std::string key = Lower(StripSlash(name));
  const zip::Entry* e = impl_->replaced.count(key) || impl_->removed.count(key) ? nullptr : impl_->Find(name);
  if (!e || !impl_->input) {
    sink(Read(name));
    return;
  }
  zip::ReadEntryInPieces(*impl_->input, *e, impl_->limits.maxPartSize, impl_->limits.maxCompressionRatio, sink);
}

std::uint64_t Package::StatedSize(std::string_view name) const {
  const zip::Entry* e = impl_->Find(name);
  return e ? e->size : 0;
}

DeflatedPart DeflatePart(std::string_view content) {
  return {zip::Deflate(content), zip::Crc(content), content.size()};
}

void Package::Replace(std::string_view name, std::string content) {
  impl_->Stage(name, {std::move(content), false, 0, 0});
}

void Package::ReplaceDeflated(std::string_view name, DeflatedPart part) {
  impl_->Stage(name, {std::move(part.data), true, part.crc, part.size});
}

void Package::Impl::Stage(std::string_view name, Replacement r) {
  const std::string_view clean = StripSlash(name);
  if (!zip::IsSafeName(clean) || clean.ends_with('/'))
    throw PackageError("invalid part name \"" + std::string(name) + "\"");
  const std::string key = Lower(clean);
  const zip::Entry* e = Find(clean);
  if (!e && !replaced.count(key)) added.emplace_back(clean);
  removed.erase(key);
  replaced[key] = std::move(r);
}

void Package::Remove(std::string_view name) {
  const std::string key = Lower(StripSlash(name));
  if (!Has(name)) throw PackageError("missing part " + std::string(StripSlash(name)));
  impl_->replaced.erase(key);
  auto& added = impl_->added;
  const auto it = std::find_if(added.begin(), added.end(), [&](const std::string& a) { return Lower(a) == key; });
  if (it != added.end()) {
    added.erase(it);
  } else {
    impl_->removed.insert(key);
  }
}

bool Package::Modified() const {
  return !impl_->replaced.empty() || !impl_->removed.empty();
}

void Package::Save(const WriteHook& hook, const ReplaceHook& beforeReplace) {
  Impl& s = *impl_;
  if (!Modified()) return;
  try {
    if (!s.input) throw PackageError("cannot read the workbook file");
    const std::filesystem::path target = ReplaceTarget(s.path);
    base::CheckReplaceable(target);

    // Replaces only the file that was read, whatever happens meanwhile.
    base::AtomicFile out(target, s.input->Stamp());
    auto fresh = std::make_unique<Impl>();
    try {
      std::uint64_t written = 0;
      if (hook) hook(0);
      zip::WindowReader source(*s.input);
      zip::Writer writer([&](const char* data, std::size_t n) {
        out.Write(data, n);
        written += n;
        if (hook) hook(written);
      });
      auto add = [&](const std::string& name, const Impl::Replacement& r, const zip::Entry* like) {
        // A stored entry stays stored, so compressed content is expanded again.
        if (!r.deflated) {
          writer.Add(name, r.content, like);
        } else if (like && like->method == 0) {
          writer.Add(name, zip::Inflate(r.content, r.size), like);
        } else {
          writer.AddDeflated(name, r.content, r.crc, r.size, like);
        }
      };
      for (const zip::Entry& e : s.archive.entries) {
        const std::string key = Lower(e.name);
        if (s.removed.count(key)) continue;
        if (const auto it = s.replaced.find(key); it != s.replaced.end()) {
          add(e.name, it->second, &e);
        } else {
          writer.CopyRaw(source, e);
        }
      }
      for (const std::string& name : s.added) add(name, s.replaced.at(Lower(name)), nullptr);
      writer.Finish(s.archive.comment);
      out.Finish();

      // What replaces the workbook must pass the same checks as any workbook
      // we open; an edit that broke it never reaches the original.
      fresh->path = out.TempPath();
      fresh->limits = s.limits;
      try {
        fresh->Load();
      } catch (const PackageError& e) {
        throw PackageError(std::string("the edited workbook failed its check: ") + e.what());
      }
    } catch (const PackageError&) {
      // A read of the original fails when another program writes into it
      // now; that is its save, not a fault of ours.
      if (out.OriginalChanged()) throw base::FileChanged();
      throw;
    }

    if (beforeReplace) beforeReplace();
    // Windows replaces no file that is open, the original nor the new one;
    // both are opened again afterwards, as long as the name still leads to
    // the file this package describes.
    const base::FileStamp read = s.input->Stamp(), made = fresh->input->Stamp();
    s.input.reset();
    fresh->input.reset();
    try {
      out.Commit();
    } catch (...) {
      s.input = Reopen(s.path, read, false);  // else reads report the file as unreadable
      throw;
    }
    fresh->path = s.path;
    fresh->input = Reopen(s.path, made, true);
    impl_ = std::move(fresh);
  } catch (const PackageError&) {
    throw;
  } catch (const base::FileChanged&) {
    throw PackageError("the workbook was changed by another program since it was opened");
  } catch (const base::FileError& e) {
    throw PackageError(e.what());
  } catch (const std::bad_alloc&) {
    throw PackageError("cannot write: out of memory");
  } catch (const std::exception& e) {
    throw PackageError(std::string("cannot write: ") + e.what());
  } catch (...) {
    throw PackageError("cannot write: unexpected failure");
  }
}

}  // namespace quorvane::ooxml

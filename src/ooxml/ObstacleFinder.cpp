#include "ooxml/ObstacleFinder.h"

#include <algorithm>
#include <array>
#include <exception>

#include "base/Utf8Path.h"
#include "ooxml/Ascii.h"
#include "ooxml/CompoundFile.h"
#include "ooxml/Relationships.h"
#include "ooxml/Xml.h"
#include "ooxml/ZipReader.h"

namespace quorvane::ooxml {
namespace {

using base::OpeningObstacle;

constexpr std::uint16_t kBiffEof = 0x000A;
constexpr std::uint16_t kBiffFilePass = 0x002F;
constexpr std::uint16_t kBiffFileSharing = 0x005B;
constexpr std::uint16_t kBiffWriteProtect = 0x0086;
// The records looked for all come early in the globals.
constexpr std::size_t kBiffLook = 64 * 1024;
constexpr std::uint64_t kMaxWorkbookPart = 64ull << 20;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool IsBof(std::uint16_t type) { return type == 0x0809 || type == 0x0409 || type == 0x0209 || type == 0x0009; }

// workbook.xml: <fileSharing> comes before <sheets>; a write-reservation
// password is kept either as the legacy hash or as hash, salt and algorithm.
class FileSharingReader final : public xml::Handler {
 public:
  bool modifyPassword = false;
  void Start(const xml::StartTag& tag) override {
    if (++depth_ != 2) return;
    if (tag.local == "fileSharing") {
      modifyPassword = !tag.Value("reservationPassword").empty() || !tag.Value("hashValue").empty();
      throw xml::StopParsing();
    }
    if (tag.local == "sheets") throw xml::StopParsing();
  }
  void End(const xml::EndTag&) override { --depth_; }

 private:
  int depth_ = 0;
};

OpeningObstacle LookAtPackage(const zip::Input& in) {
  const zip::Archive archive = zip::ReadArchive(in, 200000);
  const auto find = [&](std::string_view name) -> const zip::Entry* {
    for (const zip::Entry& entry : archive.entries)
      if (Lower(entry.name) == Lower(StripSlash(name))) return &entry;
    return nullptr;
  };
  const zip::Entry* rels = find("_rels/.rels");
  if (!rels) return OpeningObstacle::None;
  std::string mainPart;
  for (const Relationship& r : ParseRelationships(zip::ReadEntry(in, *rels, kMaxWorkbookPart, 1000), "_rels/.rels"))
    if (!r.external && RelType(r.type) == "officeDocument") mainPart = ResolvePartName("", r.target);
  const zip::Entry* main = mainPart.empty() ? nullptr : find(mainPart);
  // A binary workbook part keeps its settings in records not looked at here.
  if (!main || Lower(main->name).ends_with(".bin")) return OpeningObstacle::None;
  FileSharingReader reader;
  xml::Parse(zip::ReadEntry(in, *main, kMaxWorkbookPart, 1000), main->name, reader, xml::PartRole::Structure);
  return reader.modifyPassword ? OpeningObstacle::PasswordToModify : OpeningObstacle::None;
}

OpeningObstacle LookAtCompoundFile(const zip::Input& in) {
  const cfb::CompoundFile file(in);
  if (file.Has(u"EncryptedPackage")) return OpeningObstacle::PasswordToOpen;
  for (const std::u16string_view name : {u"Workbook", u"Book"})
    if (file.Has(name)) return LookAtBiff(file.Read(name, kBiffLook));
  return OpeningObstacle::None;
}

}  // namespace

OpeningObstacle LookAtBiff(std::string_view stream) {
  const auto* p = reinterpret_cast<const unsigned char*>(stream.data());
  bool modifyPassword = false;
  for (std::size_t at = 0; at + 4 <= stream.size();) {
    const std::uint16_t type = U16(p + at);
    const std::size_t length = U16(p + at + 2);
    const std::size_t body = at + 4;
    if (at == 0 && !IsBof(type)) return OpeningObstacle::None;  // not a workbook stream
    if (type == kBiffFilePass) return OpeningObstacle::PasswordToOpen;
    if (type == kBiffEof) break;
    if (type == kBiffWriteProtect) modifyPassword = true;
    // Read-only recommendation, then the password's hash: 0 for none.
    if (type == kBiffFileSharing && length >= 4 && body + 4 <= stream.size() && U16(p + body + 2) != 0)
      modifyPassword = true;
    at = body + length;
  }
  return modifyPassword ? OpeningObstacle::PasswordToModify : OpeningObstacle::None;
}

OpeningObstacle EngineObstacleFinder::Look(const std::string& path) noexcept {
  try {
    const std::filesystem::path file = base::FromUtf8(path);
    if (HeldByAnotherProgram(file)) return OpeningObstacle::HeldOpen;
    const zip::Input in(file);
    if (cfb::IsCompoundFile(in)) return LookAtCompoundFile(in);
    std::array<unsigned char, 4> head{};
    if (in.Size() < head.size()) return OpeningObstacle::None;
    in.ReadAt(0, head.data(), head.size());
    if (IsBof(U16(head.data()))) {  // a stand-alone BIFF2 to BIFF4 stream
      std::string stream(static_cast<std::size_t>(std::min<std::uint64_t>(in.Size(), kBiffLook)), '\0');
      in.ReadAt(0, stream.data(), stream.size());
      return LookAtBiff(stream);
    }
    if (head[0] == 'P' && head[1] == 'K') return LookAtPackage(in);
  } catch (...) {
    // Unreadable or damaged: Excel is the one to say what is wrong with it.
  }
  return OpeningObstacle::None;
}

}  // namespace quorvane::ooxml

#include "ooxml/FormatCheck.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_map>

#include "ooxml/Ascii.h"
#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml {
namespace {

constexpr std::string_view kContentTypes = "[Content_Types].xml";
constexpr std::string_view kPackageRels = "_rels/.rels";
constexpr std::string_view kSignaturesFolder = "_xmlsignatures/";
constexpr std::string_view kOfficeDocument =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
constexpr std::string_view kStrictOfficeDocument =
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
constexpr std::string_view kSignatureOrigin =
    "http://schemas.openxmlformats.org/package/2006/relationships/digital-signature/origin";
constexpr std::string_view kBinaryWorkbookType = "application/vnd.ms-excel.sheet.binary.macroEnabled.main";
constexpr std::array<std::string_view, 5> kWorkbookTypes = {
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.ms-excel.addin.macroEnabled.main+xml",
};
constexpr std::array<unsigned char, 8> kOleSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};


bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

class ContentTypesReader : public xml::Handler {
 public:
  std::unordered_map<std::string, std::string> defaults, overrides;
  void Start(const xml::StartTag& tag) override {
    ++depth_;
    if (depth_ == 1 && tag.local != "Types")
      throw PackageError("malformed XML in [Content_Types].xml (not a content types list)");
    if (depth_ == 2 && tag.local == "Default") defaults[Lower(tag.Value("Extension"))] = tag.Value("ContentType");
    if (depth_ == 2 && tag.local == "Override")
      overrides[Lower(StripSlash(tag.Value("PartName")))] = tag.Value("ContentType");
  }
  void End(const xml::EndTag&) override { --depth_; }

 private:
  int depth_ = 0;
};

// The main part must at least begin as XML; its root element is all that is
// read here.
class RootCheck : public xml::Handler {
 public:
  void Start(const xml::StartTag&) override { throw xml::StopParsing(); }
};

[[noreturn]] void RefuseCompoundFile(const zip::Input& in) {
  // A password-protected OOXML workbook is a compound file holding an
  // "EncryptedPackage" stream; anything else in that container is legacy.
  static const std::string kEncrypted = [] {
    std::string s;
    for (const char c : std::string_view("EncryptedPackage")) {
      s += c;
      s += '\0';
    }
    return s;
  }();
  auto holdsName = [&](std::string_view bytes) { return bytes.find(kEncrypted) != std::string_view::npos; };

  const std::size_t headLen = static_cast<std::size_t>(std::min<std::uint64_t>(in.Size(), 64 * 1024));
  std::string head(headLen, '\0');
  in.ReadAt(0, head.data(), headLen);
  bool encrypted = holdsName(head);
  if (!encrypted && headLen >= 0x34) {
    // The first directory sector may lie anywhere in the file.
    const auto* h = reinterpret_cast<const unsigned char*>(head.data());
    const unsigned shift = static_cast<unsigned>(h[0x1E] | (h[0x1F] << 8));
    const std::uint64_t first = static_cast<std::uint64_t>(h[0x30]) | (h[0x31] << 8) |
                                (h[0x32] << 16) | (static_cast<std::uint64_t>(h[0x33]) << 24);
    if (shift >= 7 && shift <= 16 && first < 0xFFFFFFFA) {
      const std::uint64_t sectorSize = 1ull << shift;
      const std::uint64_t offset = (first + 1) * sectorSize;
      if (offset < in.Size()) {
        std::string sector(static_cast<std::size_t>(std::min(sectorSize, in.Size() - offset)), '\0');
        in.ReadAt(offset, sector.data(), sector.size());
        encrypted = holdsName(sector);
      }
    }
  }
  if (encrypted) throw PackageError("encrypted or password-protected workbook (needs Microsoft Excel)");
  throw PackageError("needs Microsoft Excel (.xls)");
}

struct ContentTypes {
  std::unordered_map<std::string, std::string> defaults, overrides;
};

ContentTypes ReadContentTypes(const PackageParts& parts) {
  const zip::Entry* types = parts.Find(kContentTypes);
  if (!types) throw PackageError("not a workbook package (no [Content_Types].xml)");
  ContentTypesReader reader;
  xml::Parse(parts.Read(*types), kContentTypes, reader, xml::PartRole::Structure);
  return {std::move(reader.defaults), std::move(reader.overrides)};
}

// The main part as the package relationships name it (resolved, not yet
// looked up).
std::string MainPartTarget(const PackageParts& parts) {
  const zip::Entry* rels = parts.Find(kPackageRels);
  if (!rels) throw PackageError("not a workbook package (no package relationships)");
  std::string mainPart;
  for (const Relationship& r : ParseRelationships(parts.Read(*rels), kPackageRels)) {
    if (r.type == kSignatureOrigin) throw PackageError("digitally signed; a change would void the signature");
    if (r.external || !mainPart.empty()) continue;
    if (r.type == kOfficeDocument || r.type == kStrictOfficeDocument) mainPart = ResolvePartName("", r.target);
  }
  return mainPart;
}

void CheckMainPartType(const ContentTypes& types, const std::string& mainPart) {
  std::string type;
  if (const auto it = types.overrides.find(Lower(mainPart)); it != types.overrides.end()) {
    type = it->second;
  } else if (const auto dot = mainPart.rfind('.'); dot != std::string::npos) {
    if (const auto d = types.defaults.find(Lower(mainPart.substr(dot + 1))); d != types.defaults.end())
      type = d->second;
  }
  if (type == kBinaryWorkbookType) throw PackageError("needs Microsoft Excel (.xlsb)");
  if (std::find(kWorkbookTypes.begin(), kWorkbookTypes.end(), type) == kWorkbookTypes.end())
    throw PackageError("not a workbook package (main part is of type \"" + type + "\")");
}

}  // namespace

void RefuseLegacyFormats(const zip::Input& in) {
  std::array<unsigned char, 8> sig{};
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(in.Size(), sig.size()));
  in.ReadAt(0, sig.data(), n);
  if (n == sig.size() && sig == kOleSignature) RefuseCompoundFile(in);
  // Stand-alone BIFF streams of Excel 2 to 4 begin with a BOF record.
  if (n >= 4 && sig[0] == 0x09 && (sig[1] == 0x00 || sig[1] == 0x02 || sig[1] == 0x04) &&
      sig[3] == 0x00 && sig[2] >= 4 && sig[2] <= 16)
    throw PackageError("needs Microsoft Excel (.xls)");
  if (n >= 5 && (std::memcmp(sig.data(), "<?xml", 5) == 0 || std::memcmp(sig.data(), "\xEF\xBB\xBF<?", 5) == 0)) {
    std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(in.Size(), 4096)), '\0');
    in.ReadAt(0, head.data(), head.size());
    if (head.find("urn:schemas-microsoft-com:office:spreadsheet") != std::string::npos)
      throw PackageError("needs Microsoft Excel (XML Spreadsheet 2003)");
  }
}

std::string RecogniseWorkbook(const std::vector<std::string>& entryNames, const PackageParts& parts) {
  if (parts.Find("xl/workbook.bin")) throw PackageError("needs Microsoft Excel (.xlsb)");
  for (const std::string& name : entryNames)
    if (StartsWithNoCase(name, kSignaturesFolder))
      throw PackageError("digitally signed; a change would void the signature");

  const ContentTypes types = ReadContentTypes(parts);
  const std::string target = MainPartTarget(parts);
  const zip::Entry* main = parts.Find(target);
  if (target.empty() || !main) throw PackageError("not a workbook package (no main workbook part)");
  const std::string& mainPart = main->name;
  CheckMainPartType(types, mainPart);

  RootCheck root;
  xml::Parse(parts.Read(*main), mainPart, root, xml::PartRole::Structure);
  return mainPart;
}

}  // namespace quorvane::ooxml

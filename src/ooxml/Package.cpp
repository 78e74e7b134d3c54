#include "ooxml/Package.h"

#include <expat.h>
#include <zip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>
#include <set>
#include <unordered_map>

#include "base/AtomicFile.h"
#include "ooxml/Xml.h"
#include "ooxml/ZipArchive.h"
#include "ooxml/ZipInput.h"

namespace quorvane::ooxml {

namespace {

constexpr std::string_view kContentTypes = "[Content_Types].xml";
constexpr std::string_view kPackageRels = "_rels/.rels";
constexpr std::string_view kOfficeDocument =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
constexpr std::string_view kStrictOfficeDocument =
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
constexpr std::string_view kSignatureOrigin =
    "http://schemas.openxmlformats.org/package/2006/relationships/digital-signature/origin";
constexpr std::string_view kStrictSpreadsheetNs = "http://purl.oclc.org/ooxml/spreadsheetml/main";
constexpr std::string_view kBinaryWorkbookType = "application/vnd.ms-excel.sheet.binary.macroEnabled.main";
constexpr std::array<std::string_view, 5> kWorkbookTypes = {
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.ms-excel.addin.macroEnabled.main+xml",
};
constexpr std::array<unsigned char, 8> kOleSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr char kNsSeparator = '\x01';

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

std::string_view StripSlash(std::string_view name) {
  if (!name.empty() && name.front() == '/') name.remove_prefix(1);
  return name;
}

// ---- XML through expat: no DOCTYPE, so no entity can ever be declared ----

struct XmlElement {
  std::string_view ns;
  std::string_view local;
  const XML_Char** attrs;
  int depth;
};
using ElementHandler = std::function<bool(const XmlElement&)>;  // false stops parsing

struct ExpatState {
  XML_Parser parser = nullptr;
  const ElementHandler* onElement = nullptr;
  int depth = 0;
  bool doctype = false;
  bool stopped = false;
  std::exception_ptr failure;  // thrown by a handler, rethrown after parsing
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto* s = static_cast<ExpatState*>(data);
  ++s->depth;
  std::string_view full(name);
  XmlElement el{{}, full, attrs, s->depth};
  if (const auto sep = full.find(kNsSeparator); sep != std::string_view::npos) {
    el.ns = full.substr(0, sep);
    el.local = full.substr(sep + 1);
  }
  bool go = true;
  try {
    go = (*s->onElement)(el);
  } catch (...) {
    s->failure = std::current_exception();
    go = false;
  }
  if (!go) {
    s->stopped = true;
    XML_StopParser(s->parser, XML_FALSE);
  }
}

void XMLCALL OnEnd(void* data, const XML_Char*) { --static_cast<ExpatState*>(data)->depth; }

void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto* s = static_cast<ExpatState*>(data);
  s->doctype = true;
  XML_StopParser(s->parser, XML_FALSE);
}

void XMLCALL OnEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                          const XML_Char*, const XML_Char*, const XML_Char*) {
  auto* s = static_cast<ExpatState*>(data);
  s->doctype = true;
  XML_StopParser(s->parser, XML_FALSE);
}

struct ParserDeleter {
  void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};

void ParseXml(std::string_view xml, std::string_view part, const ElementHandler& onElement) {
  std::unique_ptr<XML_ParserStruct, ParserDeleter> parser(XML_ParserCreateNS(nullptr, kNsSeparator));
  if (!parser) throw std::bad_alloc();
  XML_SetHashSalt(parser.get(), xml::HashSalt());
  ExpatState state;
  state.parser = parser.get();
  state.onElement = &onElement;
  XML_SetUserData(parser.get(), &state);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
  XML_SetEntityDeclHandler(parser.get(), OnEntityDecl);
  XML_SetParamEntityParsing(parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);

  const std::string malformed = "malformed XML in " + std::string(part);
  constexpr std::size_t kSlice = 1 << 30;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(kSlice, xml.size() - at);
    const bool last = at + n == xml.size();
    if (XML_Parse(parser.get(), xml.data() + at, static_cast<int>(n), last) != XML_STATUS_OK) {
      if (state.failure) std::rethrow_exception(state.failure);
      if (state.stopped && !state.doctype) return;
      if (state.doctype) throw PackageError(malformed + " (document type declarations are not allowed)");
      throw PackageError(malformed + " (line " +
                         std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
                         XML_ErrorString(XML_GetErrorCode(parser.get())) + ")");
    }
    at += n;
  } while (at < xml.size());
}

std::string_view Attr(const XML_Char** attrs, std::string_view name) {
  for (int i = 0; attrs[i]; i += 2)
    if (name == attrs[i]) return attrs[i + 1];
  return {};
}

// ---- Legacy and protected formats, recognised by content ----

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

// ---- A second opinion on the zip structure from libzip ----

struct LibzipSource {
  const zip::Input* in = nullptr;
  std::optional<zip::WindowReader> window;  // libzip reads each header on its own
  std::uint64_t pos = 0;
  zip_error_t error{};
};

zip_int64_t LibzipCallback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  auto* s = static_cast<LibzipSource*>(state);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      s->pos = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const std::uint64_t n = std::min<std::uint64_t>(len, s->in->Size() - std::min(s->pos, s->in->Size()));
      try {
        s->window->ReadAt(s->pos, data, static_cast<std::size_t>(n));
      } catch (...) {
        zip_error_set(&s->error, ZIP_ER_READ, 0);
        return -1;
      }
      s->pos += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = s->in->Size();
      st->valid |= ZIP_STAT_SIZE;
      return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
      return zip_error_to_data(&s->error, data, len);
    case ZIP_SOURCE_SEEK: {
      const zip_int64_t to = zip_source_seek_compute_offset(s->pos, s->in->Size(), data, len, &s->error);
      if (to < 0) return -1;
      s->pos = static_cast<std::uint64_t>(to);
      return 0;
    }
    case ZIP_SOURCE_TELL:
      return static_cast<zip_int64_t>(s->pos);
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE,
                                            ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
      zip_error_set(&s->error, ZIP_ER_OPNOTSUPP, 0);
      return -1;
  }
}

void CheckWithLibzip(const zip::Input& in) {
  LibzipSource state;
  state.in = &in;
  state.window.emplace(in);
  zip_error_init(&state.error);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_function_create(LibzipCallback, &state, &error);
  if (!source) throw std::bad_alloc();
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (!archive) {
    zip_source_free(source);
    const std::string why = zip_error_strerror(&error);
    zip_error_fini(&error);
    zip_error_fini(&state.error);
    throw PackageError("damaged zip package: " + why);
  }
  zip_discard(archive);
  zip_error_fini(&error);
  zip_error_fini(&state.error);
}

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

}  // namespace

// ---- Relationships ----

std::vector<Relationship> ParseRelationships(std::string_view xml, std::string_view partName) {
  std::vector<Relationship> rels;
  ParseXml(xml, partName, [&](const XmlElement& el) {
    if (el.depth == 2 && el.local == "Relationship") {
      Relationship r;
      r.id = Attr(el.attrs, "Id");
      r.type = Attr(el.attrs, "Type");
      r.target = Attr(el.attrs, "Target");
      r.external = Lower(Attr(el.attrs, "TargetMode")) == "external";
      rels.push_back(std::move(r));
    }
    return true;
  });
  return rels;
}

std::vector<Relationship> ParseRelationships(std::string_view xml) {
  return ParseRelationships(xml, "a relationships part");
}

std::string ResolvePartName(std::string_view sourcePart, std::string_view target) {
  std::string t(target);
  std::replace(t.begin(), t.end(), '\\', '/');
  std::string joined;
  if (!t.empty() && t.front() == '/') {
    joined = t;
  } else {
    const std::string_view source = StripSlash(sourcePart);
    const auto slash = source.rfind('/');
    if (slash != std::string_view::npos) joined.assign(source.substr(0, slash + 1));
    joined += t;
  }
  std::vector<std::string_view> segments;
  const std::string_view all(joined);
  std::size_t start = 0;
  while (start <= all.size()) {
    std::size_t slash = all.find('/', start);
    if (slash == std::string_view::npos) slash = all.size();
    const std::string_view seg = all.substr(start, slash - start);
    if (seg == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!seg.empty() && seg != ".") {
      segments.push_back(seg);
    }
    start = slash + 1;
  }
  std::string out;
  for (const auto seg : segments) {
    if (!out.empty()) out += '/';
    out += seg;
  }
  return out;
}

std::string RelsPartFor(std::string_view part) {
  const std::string_view p = StripSlash(part);
  if (p.empty()) return std::string(kPackageRels);
  const auto slash = p.rfind('/');
  const std::string_view folder = slash == std::string_view::npos ? std::string_view{} : p.substr(0, slash + 1);
  const std::string_view file = slash == std::string_view::npos ? p : p.substr(slash + 1);
  return std::string(folder) + "_rels/" + std::string(file) + ".rels";
}

// ---- Package ----

struct Package::Impl {
  std::filesystem::path path;
  PackageLimits limits;
  std::optional<zip::Input> input;  // empty only after a failed reopen
  zip::Archive archive;
  std::vector<std::string> names;
  std::unordered_map<std::string, std::size_t> index;  // lower-cased name -> entry
  std::string mainPart;
  base::FileStamp stamp;
  struct Replacement {
    std::string content;  // inflated, or deflated when `deflated`
    bool deflated = false;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
  };
  std::unordered_map<std::string, Replacement> replaced;  // lower-cased name -> content
  std::set<std::string> removed;                           // lower-cased names
  std::vector<std::string> added;                          // new parts, in order

  const zip::Entry* Find(std::string_view name) const {
    const auto it = index.find(Lower(StripSlash(name)));
    return it == index.end() ? nullptr : &archive.entries[it->second];
  }
  std::string ReadOriginal(const zip::Entry& e) const {
    if (!input) throw PackageError("cannot read the workbook file");
    return zip::ReadEntry(*input, e, limits.maxPartSize, limits.maxCompressionRatio);
  }
  void Load();
  void Stage(std::string_view name, Replacement r);
};

// Reads and checks everything Open promises; used again on the file Save
// wrote, before it may replace the original.
void Package::Impl::Load() {
  input.emplace(path);
  try {
    stamp = base::StampOf(path);
  } catch (const base::FileError& e) {
    throw PackageError(e.what());
  }
  RefuseLegacyFormats(*input);
  archive = zip::ReadArchive(*input, limits.maxEntries);

  names.clear();
  index.clear();
  names.reserve(archive.entries.size());
  bool signedPackage = false;
  for (std::size_t i = 0; i < archive.entries.size(); ++i) {
    const std::string& name = archive.entries[i].name;
    if (!zip::IsSafeName(name)) throw PackageError("damaged zip package: unsafe entry name \"" + name + "\"");
    // Part names are case-insensitive, so "a.xml" and "A.xml" are one part.
    if (!index.emplace(Lower(name), i).second)
      throw PackageError("damaged zip package: duplicate entry \"" + name + "\"");
    if (StartsWithNoCase(name, "_xmlsignatures/")) signedPackage = true;
    names.push_back(name);
  }
  CheckWithLibzip(*input);

  if (Find("xl/workbook.bin")) throw PackageError("needs Microsoft Excel (.xlsb)");
  if (signedPackage) throw PackageError("digitally signed; a change would void the signature");

  const zip::Entry* types = Find(kContentTypes);
  if (!types) throw PackageError("not a workbook package (no [Content_Types].xml)");
  std::unordered_map<std::string, std::string> defaults, overrides;
  ParseXml(ReadOriginal(*types), kContentTypes, [&](const XmlElement& el) {
    if (el.depth == 1 && el.local != "Types")
      throw PackageError("malformed XML in [Content_Types].xml (not a content types list)");
    if (el.depth == 2 && el.local == "Default")
      defaults[Lower(Attr(el.attrs, "Extension"))] = Attr(el.attrs, "ContentType");
    if (el.depth == 2 && el.local == "Override")
      overrides[Lower(StripSlash(Attr(el.attrs, "PartName")))] = Attr(el.attrs, "ContentType");
    return true;
  });

  const zip::Entry* rels = Find(kPackageRels);
  if (!rels) throw PackageError("not a workbook package (no package relationships)");
  bool strict = false;
  mainPart.clear();
  for (const Relationship& r : ParseRelationships(ReadOriginal(*rels), kPackageRels)) {
    if (r.type == kSignatureOrigin) throw PackageError("digitally signed; a change would void the signature");
    if (r.external || !mainPart.empty()) continue;
    if (r.type == kOfficeDocument || r.type == kStrictOfficeDocument) {
      mainPart = ResolvePartName("", r.target);
      strict = r.type == kStrictOfficeDocument;
    }
  }
  if (strict) throw PackageError("strict Open XML is not supported");
  const zip::Entry* main = Find(mainPart);
  if (mainPart.empty() || !main) throw PackageError("not a workbook package (no main workbook part)");
  mainPart = main->name;

  std::string type;
  if (const auto it = overrides.find(Lower(mainPart)); it != overrides.end()) {
    type = it->second;
  } else if (const auto dot = mainPart.rfind('.'); dot != std::string::npos) {
    if (const auto d = defaults.find(Lower(mainPart.substr(dot + 1))); d != defaults.end()) type = d->second;
  }
  if (type == kBinaryWorkbookType) throw PackageError("needs Microsoft Excel (.xlsb)");
  if (std::find(kWorkbookTypes.begin(), kWorkbookTypes.end(), type) == kWorkbookTypes.end())
    throw PackageError("not a workbook package (main part is of type \"" + type + "\")");

  // Strict packages may still use transitional relationship types; the
  // workbook's own namespace tells for sure.
  ParseXml(ReadOriginal(*main), mainPart, [&](const XmlElement& el) {
    if (el.ns == kStrictSpreadsheetNs) throw PackageError("strict Open XML is not supported");
    return false;
  });
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

void Package::Save(const WriteHook& hook) {
  Impl& s = *impl_;
  if (!Modified()) return;
  try {
    if (!s.input) throw PackageError("cannot read the workbook file");
    if (base::StampOf(s.path) != s.stamp)
      throw PackageError("the workbook was changed by another program since it was opened");
    const std::filesystem::path target = ReplaceTarget(s.path);
    base::CheckReplaceable(target);

    base::AtomicFile out(target);
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
    auto fresh = std::make_unique<Impl>();
    fresh->path = out.TempPath();
    fresh->limits = s.limits;
    try {
      fresh->Load();
    } catch (const PackageError& e) {
      throw PackageError(std::string("the edited workbook failed its check: ") + e.what());
    }

    s.input.reset();  // Windows cannot replace a file that is still open
    try {
      out.Commit();
    } catch (...) {
      try {
        s.input.emplace(s.path);
      } catch (...) {
        // Reads now report the file as unreadable; the original is intact.
      }
      throw;
    }
    fresh->path = s.path;
    impl_ = std::move(fresh);
  } catch (const PackageError&) {
    throw;
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

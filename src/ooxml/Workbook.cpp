#include "ooxml/Workbook.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "ooxml/Ascii.h"
#include "ooxml/BreakPlan.h"
#include "ooxml/Carriers.h"
#include "ooxml/Formula.h"
#include "ooxml/Relationships.h"
#include "ooxml/Usage.h"
#include "ooxml/Verifier.h"
#include "ooxml/WorkbookPart.h"

namespace quorvane::ooxml {
namespace {

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

struct Workbook::Impl {
  std::filesystem::path path;
  std::optional<Package> package;
  std::string mainPart, mainXml, relsPart;
  std::vector<Relationship> rels;
  std::vector<Relationship> rootRels;
  detail::WorkbookPart book;
  std::vector<LinkInfo> links;
  bool booksByNameFound = false;  // links holds the books named by file
  std::vector<std::string> namingParts;  // parts with formulas naming books by file
  std::vector<detail::NameEntry> names;
  std::set<std::uint32_t> broken;
  detail::StagedBreak staged;
  EditHook hook;
  // Set by Save: the package is the file just written and checked, the rest
  // is read from it on first use (after a save, most callers only close).
  bool stale = false;

  void Load(const std::filesystem::path& file);
  void ReadLinkPart(LinkInfo& info) const;
  void ReadUnlistedParts();
  void FindBooksByName();
  void Refresh() {
    if (stale) {
      Load(path);
      stale = false;
    }
    FindBooksByName();
  }
  std::vector<detail::CarrierPart> Carriers() const {
    return detail::FindCarriers(*package, mainPart, rels, book.sheetRelIds);
  }
  void Plan() {
    staged =
        detail::PlanBreak({*package, path, mainPart, mainXml, relsPart, rels, book, links, names, broken, !hook});
  }
};

void Workbook::Impl::Load(const std::filesystem::path& file) {
  path = file;
  if (!stale) package.emplace(Package::Open(file));
  if (!package->Has("_rels/.rels")) throw PackageError("not a workbook package (no _rels/.rels)");
  rootRels = ParseRelationships(package->Read("_rels/.rels"));
  for (const auto& r : rootRels) {
    if (RelType(r.type) != "officeDocument" || r.external) continue;
    mainPart = ResolvePartName("", r.target);
    break;
  }
  if (mainPart.empty() || !package->Has(mainPart)) throw PackageError("no workbook part in the package");
  mainXml = package->Read(mainPart);
  book = detail::ReadWorkbookPart(mainXml, mainPart);

  relsPart = RelsPartFor(mainPart);
  rels = package->Has(relsPart) ? ParseRelationships(package->Read(relsPart)) : std::vector<Relationship>{};
  names.clear();
  for (const auto& n : book.names) names.push_back(n.entry);

  links.clear();
  std::uint32_t index = 0;
  for (const auto& ref : book.references) {
    LinkInfo info;
    info.index = ++index;
    auto rel = std::find_if(rels.begin(), rels.end(), [&](const Relationship& r) { return r.id == ref.relId; });
    if (rel != rels.end() && !rel->external) {
      info.part = ResolvePartName(mainPart, rel->target);
      if (package->Has(info.part)) ReadLinkPart(info);
    }
    links.push_back(std::move(info));
  }
  ReadUnlistedParts();
  booksByNameFound = false;
  namingParts.clear();
}

// The kind, target and source of the link part info.part.
void Workbook::Impl::ReadLinkPart(LinkInfo& info) const {
  auto part = ReadExternalLinkPart(package->Read(info.part), info.part);
  info.kind = part.kind;
  std::string linkRels = RelsPartFor(info.part);
  if (!part.bookRelId.empty() && package->Has(linkRels)) {
    for (const auto& r : ParseRelationships(package->Read(linkRels)))
      if (r.id == part.bookRelId) info.target = r.target;
  }
  if (info.kind == LinkKind::Book) info.source = SourceName(info.target, path);
}

// Book link parts the workbook relates to but leaves out of
// <externalReferences>, as some tools leave them: no formula can reach them,
// yet they name the other workbook.
void Workbook::Impl::ReadUnlistedParts() {
  std::set<std::string> listed;
  for (const auto& ref : book.references) listed.insert(ref.relId);
  std::set<std::string> seen;  // lower case: part names ignore case
  for (const auto& l : links)
    if (!l.part.empty()) seen.insert(Lower(l.part));
  for (const auto& r : rels) {
    if (r.external || RelType(r.type) != "externalLink" || listed.count(r.id)) continue;
    LinkInfo info;
    info.part = ResolvePartName(mainPart, r.target);
    if (!package->Has(info.part) || !seen.insert(Lower(info.part)).second) continue;
    ReadLinkPart(info);
    if (info.kind != LinkKind::Book) continue;  // DDE and OLE links are never touched
    info.index = static_cast<std::uint32_t>(links.size()) + 1;
    info.form = LinkForm::Unlisted;
    links.push_back(std::move(info));
  }
}

// Books that formulas name by file and no listed link stands for, each once,
// in order of first use: the workbook's names, then every part that can hold
// a formula, read in the places the verifier checks.
void Workbook::Impl::FindBooksByName() {
  if (booksByNameFound) return;
  booksByNameFound = true;
  BookNames known = detail::LinkBooks(path, links, {});
  std::set<std::string, std::less<>> seen;
  bool naming = false;
  const auto use = [&](std::string_view formula) {
    if (formula.find('[') == std::string_view::npos) return;
    for (auto& written : formula::FindBookNames(formula)) {
      naming = true;
      if (!seen.insert(written).second || known.Find(written) != 0 || known.IsWorkbook(written)) continue;
      LinkInfo info;
      info.index = static_cast<std::uint32_t>(links.size()) + 1;
      info.kind = LinkKind::Book;
      info.source = known.Source(written);
      info.target = std::move(written);
      info.form = LinkForm::ByName;
      known.Add(info.source, info.index, false);
      links.push_back(std::move(info));
    }
  };
  // Most parts name no book: they are looked through in pieces, never held
  // whole, and parsed only when they might.
  const auto scan = [&](const std::string& part, const std::string& text) {
    naming = false;
    ForEachFormula(part, text, use);
    if (naming) namingParts.push_back(part);
  };
  if (BookNameSniffer().Feed(mainXml)) scan(mainPart, mainXml);
  for (const auto& job : Carriers()) {
    BookNameSniffer sniffer;
    bool may = false;
    package->ReadInPieces(job.part, [&](std::string_view piece) { may = sniffer.Feed(piece); });
    if (may) scan(job.part, package->Read(job.part));
  }
}

BreakResult& BreakResult::operator+=(const BreakResult& o) {
  cells += o.cells;
  uncached += o.uncached;
  fromLinkCache += o.fromLinkCache;
  names += o.names;
  namesToRef += o.namesToRef;
  charts += o.charts;
  rulesConverted += o.rulesConverted;
  rulesRemoved += o.rulesRemoved;
  controls += o.controls;
  otherToRef += o.otherToRef;
  renumbered += o.renumbered;
  partsRemoved += o.partsRemoved;
  calcChainRemoved = calcChainRemoved || o.calcChainRemoved;
  return *this;
}

Workbook::Workbook(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Workbook::Workbook(Workbook&&) noexcept = default;
Workbook& Workbook::operator=(Workbook&&) noexcept = default;
Workbook::~Workbook() = default;

Workbook Workbook::Open(const std::filesystem::path& path) {
  auto impl = std::make_unique<Impl>();
  impl->Load(path);
  return Workbook(std::move(impl));
}

const std::filesystem::path& Workbook::Path() const { return impl_->path; }
const std::vector<LinkInfo>& Workbook::Links() const {
  impl_->Refresh();
  return impl_->links;
}

std::vector<std::string> Workbook::BookSources() const {
  impl_->Refresh();
  std::vector<std::string> out;
  for (const auto& l : impl_->links)
    if (l.kind == LinkKind::Book) out.push_back(l.source);
  return out;
}

BreakResult Workbook::Break(const std::vector<std::string>& sources) {
  impl_->Refresh();
  auto broken = impl_->broken;
  for (const auto& source : sources) {
    bool found = false;
    for (const auto& l : impl_->links) {
      if (l.kind == LinkKind::Book && l.source == source) {
        broken.insert(l.index);
        found = true;
      }
    }
    if (!found) throw PackageError("no link to \"" + source + "\" in the workbook");
  }
  if (broken.empty() || (broken == impl_->broken && !impl_->staged.edited.empty())) return impl_->staged.result;
  auto previous = std::move(impl_->broken);
  impl_->broken = std::move(broken);
  try {
    impl_->Plan();
  } catch (...) {
    impl_->broken = std::move(previous);
    impl_->staged = {};
    if (!impl_->broken.empty()) impl_->Plan();
    throw;
  }
  return impl_->staged.result;
}

std::map<std::uint32_t, LinkUsage> Workbook::Usage() const {
  impl_->Refresh();
  const auto& in = *impl_;
  std::vector<std::uint32_t> identity(in.book.references.size() + 1);
  for (std::uint32_t k = 0; k < identity.size(); ++k) identity[k] = k;
  detail::FormulaJudge judge(identity, in.names, in.book.sheetNames, detail::LinkBooks(in.path, in.links, {}));
  detail::UsageContext ctx(judge);
  std::map<std::uint32_t, LinkUsage> usage;
  for (const auto& link : in.links) usage[link.index];
  for (std::size_t i = 0; i < in.names.size(); ++i)
    for (auto k : ctx.nameReach[i]) ++usage[k].names;
  for (const auto& job : in.Carriers()) {
    std::string text = in.package->Read(job.part);
    if (std::memchr(text.data(), '[', text.size()) == nullptr && in.names.empty()) continue;
    detail::CountUsage(ctx, job.kind, text, job.part, job.sheet, usage);
  }
  return usage;
}

bool Workbook::Changed() const { return !impl_->broken.empty(); }

void Workbook::Discard() {
  impl_->broken.clear();
  impl_->staged = {};
}

void Workbook::SetEditHookForTesting(EditHook hook) { impl_->hook = std::move(hook); }

void Workbook::Save() {
  if (impl_->broken.empty()) return;
  for (const auto& r : impl_->rootRels)
    if (EndsWith(r.type, "/digital-signature/origin"))
      throw PackageError("the workbook is digitally signed; breaking its links would invalidate the signature");
  // A copy only for the hook: a failed save must leave the staged edits as they were.
  std::optional<std::map<std::string, std::string>> hooked;
  if (impl_->hook) {
    hooked = impl_->staged.edited;
    impl_->hook(*hooked);
  }
  const auto& staged = impl_->staged;
  const auto& edited = hooked ? *hooked : staged.edited;
  if (!staged.rejected.empty()) std::rethrow_exception(staged.rejected.begin()->second);

  VerifyInput input;
  input.mainPart = impl_->mainPart;
  input.relsPart = impl_->relsPart;
  input.linkCount = staged.linksLeft;
  input.removedParts = staged.removed;
  for (const auto& entry : impl_->package->EntryNames())
    if (EndsWith(Lower(entry), ".rels")) input.otherRelsParts.push_back(entry);
  input.books = staged.books;
  input.edited = &edited;
  for (const auto& [part, unused] : staged.deflated) input.checkedParts.push_back(part);
  input.namingParts = impl_->namingParts;
  input.read = [this](const std::string& part) { return impl_->package->Read(part); };
  Verify(input);

  for (const auto& [part, content] : edited) impl_->package->Replace(part, content);
  for (const auto& [part, content] : staged.deflated) impl_->package->ReplaceDeflated(part, content);
  for (const auto& part : staged.removed) impl_->package->Remove(part);
  impl_->package->Save();
  // Start over from what is now on disk: Package::Save left the package
  // reading the new file, so only the workbook's own parts are read again,
  // and only when asked for.
  auto path = impl_->path;
  auto hook = std::move(impl_->hook);
  auto package = std::move(impl_->package);
  *impl_ = Impl();
  impl_->hook = std::move(hook);
  impl_->path = std::move(path);
  impl_->package = std::move(package);
  impl_->stale = true;
}

}  // namespace quorvane::ooxml

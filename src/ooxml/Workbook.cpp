#include "ooxml/Workbook.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>
#include <set>
#include <thread>

#include "ooxml/Ascii.h"
#include "ooxml/Deflate.h"
#include "ooxml/Formula.h"
#include "ooxml/Relationships.h"
#include "ooxml/Rewrite.h"
#include "ooxml/Usage.h"
#include "ooxml/Verifier.h"
#include "ooxml/Xml.h"

#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define QUORVANE_NO_THREADS 1  // MinGW's win32 thread model has no std::thread
#endif

namespace quorvane::ooxml {
namespace {

using detail::Carrier;
using xml::Span;

constexpr std::string_view kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr std::string_view kStrictPrefix = "http://purl.oclc.org/ooxml/";
constexpr std::string_view kContentTypes = "[Content_Types].xml";
// Formula-carrying XML below which Plan stays on one thread (a few ms of work).
constexpr std::uint64_t kParallelPlanBytes = 1 << 20;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::string RelType(std::string_view type) {
  auto slash = type.rfind('/');
  return std::string(slash == std::string_view::npos ? type : type.substr(slash + 1));
}

// workbook.xml: sheets, defined names and the external references, with the
// byte ranges the break edits.
class WorkbookReader : public xml::Handler {
 public:
  struct Name {
    detail::NameEntry entry;
    Span content;
  };
  struct Reference {
    std::string relId;
    Span element;
  };
  std::vector<std::string> sheetNames, sheetRelIds;
  std::vector<Name> names;
  std::vector<Reference> references;
  Span referencesElement;
  bool strict = false;

  void Start(const xml::StartTag& tag) override {
    if (depth_++ == 0 && tag.uri.substr(0, kStrictPrefix.size()) == kStrictPrefix) strict = true;
    if (tag.local == "sheet") {
      const char* name = tag.Attr("name");
      const char* id = tag.Attr("id", kRelNs);
      sheetNames.emplace_back(name ? name : "");
      sheetRelIds.emplace_back(id ? id : "");
    } else if (tag.local == "definedName") {
      Name n;
      const char* name = tag.Attr("name");
      const char* local = tag.Attr("localSheetId");
      n.entry.name = name ? name : "";
      n.entry.key = Lower(n.entry.name);
      n.entry.localSheet = local ? std::atoi(local) : -1;
      n.content = {tag.tag.end, tag.tag.end};
      names.push_back(std::move(n));
      inName_ = !tag.empty;
      text_.clear();
    } else if (tag.local == "externalReferences") {
      referencesElement.begin = tag.tag.begin;
    } else if (tag.local == "externalReference") {
      const char* id = tag.Attr("id", kRelNs);
      references.push_back({id ? id : "", {tag.tag.begin, tag.tag.end}});
    }
  }
  void End(const xml::EndTag& tag) override {
    --depth_;
    if (tag.local == "definedName" && inName_) {
      inName_ = false;
      names.back().content.end = std::max(names.back().content.begin, tag.tag.begin);
      names.back().entry.text = text_;
    } else if (tag.local == "externalReferences") {
      referencesElement.end = tag.tag.end;
    } else if (tag.local == "externalReference") {
      references.back().element.end = tag.tag.end;
    }
  }
  void Text(std::string_view t) override {
    if (inName_) text_.append(t);
  }

 private:
  int depth_ = 0;
  bool inName_ = false;
  std::string text_;
};

// Elements of a .rels or [Content_Types].xml part keyed by one attribute.
class KeyedElements : public xml::Handler {
 public:
  KeyedElements(std::string_view element, std::string_view key) : element_(element), key_(key) {}
  std::vector<std::pair<std::string, Span>> items;
  void Start(const xml::StartTag& tag) override {
    if (tag.local != element_) return;
    const char* key = tag.Attr(key_);
    items.push_back({key ? key : "", {tag.tag.begin, tag.tag.end}});
  }
  void End(const xml::EndTag& tag) override {
    if (tag.local == element_) items.back().second.end = tag.tag.end;
  }

 private:
  std::string element_, key_;
};

struct Job {
  std::string part;
  Carrier kind;
  int sheet;
};

}  // namespace

struct Workbook::Impl {
  std::filesystem::path path;
  std::optional<Package> package;
  std::string mainPart, mainXml, relsPart;
  std::vector<Relationship> rels;
  std::vector<Relationship> rootRels;
  WorkbookReader book;
  std::vector<LinkInfo> links;
  std::vector<detail::NameEntry> names;
  std::set<std::uint32_t> broken;
  std::map<std::string, std::string> edited;
  // Large edited parts, verified and compressed by the workers as soon as
  // they are rewritten, so that only their compressed bytes stay in memory.
  // A failed check is kept and reported by Save, like any other.
  std::map<std::string, DeflatedPart> deflated;
  std::map<std::string, std::exception_ptr> rejected;
  std::vector<std::string> removed;
  BreakResult result;
  EditHook hook;
  // Set by Save: the package is the file just written and checked, the rest
  // is read from it on first use (after a save, most callers only close).
  bool stale = false;

  void Load(const std::filesystem::path& file);
  void Refresh() {
    if (!stale) return;
    Load(path);
    stale = false;
  }
  std::vector<Job> Carriers() const;
  void Plan();
};

void Workbook::Impl::Load(const std::filesystem::path& file) {
  path = file;
  if (!stale) package.emplace(Package::Open(file));
  if (!package->Has("_rels/.rels")) throw PackageError("not a workbook package (no _rels/.rels)");
  rootRels = ParseRelationships(package->Read("_rels/.rels"));
  for (const auto& r : rootRels) {
    if (RelType(r.type) != "officeDocument" || r.external) continue;
    if (r.type.rfind(kStrictPrefix, 0) == 0) throw PackageError("strict Open XML is not supported");
    mainPart = ResolvePartName("", r.target);
    break;
  }
  if (mainPart.empty() || !package->Has(mainPart)) throw PackageError("no workbook part in the package");
  mainXml = package->Read(mainPart);
  book = WorkbookReader();
  xml::Parse(mainXml, mainPart, book);
  if (book.strict) throw PackageError("strict Open XML is not supported");

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
      if (package->Has(info.part)) {
        auto part = ReadExternalLinkPart(package->Read(info.part), info.part);
        info.kind = part.kind;
        std::string linkRels = RelsPartFor(info.part);
        if (!part.bookRelId.empty() && package->Has(linkRels)) {
          for (const auto& r : ParseRelationships(package->Read(linkRels)))
            if (r.id == part.bookRelId) info.target = r.target;
        }
        if (info.kind == LinkKind::Book) info.source = SourceName(info.target, path);
      }
    }
    links.push_back(std::move(info));
  }
}

// Every part that can hold a formula, found through the relationships.
std::vector<Job> Workbook::Impl::Carriers() const {
  std::vector<Job> jobs;
  std::set<std::string> seen{mainPart};
  struct Pending {
    std::string part;
    std::string type;
    int sheet;
  };
  std::vector<Pending> queue;
  for (const auto& r : rels) {
    if (r.external) continue;
    int sheet = -1;
    for (std::size_t i = 0; i < book.sheetRelIds.size(); ++i)
      if (book.sheetRelIds[i] == r.id) sheet = static_cast<int>(i);
    queue.push_back({ResolvePartName(mainPart, r.target), RelType(r.type), sheet});
  }
  static const std::set<std::string> kFollow = {"worksheet", "xlMacrosheet", "xlIntlMacrosheet", "dialogsheet",
                                                "chartsheet", "drawing", "chart", "chartUserShapes"};
  while (!queue.empty()) {
    Pending p = std::move(queue.back());
    queue.pop_back();
    if (!seen.insert(p.part).second || !package->Has(p.part)) continue;
    const std::string& t = p.type;
    if (t == "worksheet" || t == "xlMacrosheet" || t == "xlIntlMacrosheet" || t == "dialogsheet") {
      jobs.push_back({p.part, Carrier::Sheet, p.sheet});
    } else if (t == "chart" || t == "chartEx") {
      jobs.push_back({p.part, Carrier::Chart, p.sheet});
    } else if (t == "drawing" || t == "chartUserShapes") {
      jobs.push_back({p.part, Carrier::Drawing, p.sheet});
    } else if (t == "ctrlProp") {
      jobs.push_back({p.part, Carrier::Controls, p.sheet});
    } else if (t == "vmlDrawing") {
      jobs.push_back({p.part, Carrier::Vml, p.sheet});
    } else if (t == "table") {
      jobs.push_back({p.part, Carrier::Table, p.sheet});
    }
    if (!kFollow.count(t)) continue;
    std::string partRels = RelsPartFor(p.part);
    if (!package->Has(partRels)) continue;
    for (const auto& r : ParseRelationships(package->Read(partRels)))
      if (!r.external) queue.push_back({ResolvePartName(p.part, r.target), RelType(r.type), p.sheet});
  }
  // Largest parts first keeps both workers busy to the end.
  return jobs;
}

void Workbook::Impl::Plan() {
  edited.clear();
  deflated.clear();
  rejected.clear();
  removed.clear();
  result = {};
  const auto count = static_cast<std::uint32_t>(links.size());
  std::vector<std::uint32_t> newIndex(count + 1, 0);
  std::uint32_t next = 0;
  for (std::uint32_t k = 1; k <= count; ++k) newIndex[k] = broken.count(k) ? 0 : ++next;

  detail::CacheMap caches;
  for (auto k : broken) {
    const auto& link = links[k - 1];
    if (!link.part.empty() && package->Has(link.part))
      caches.emplace(k, ReadLinkCache(package->Read(link.part), link.part));
  }
  std::vector<std::string> brokenFiles;
  for (auto k : broken) {
    const auto& target = links[k - 1].source;
    auto cut = target.find_last_of("/\\");
    brokenFiles.push_back(Lower(cut == std::string::npos ? target : target.substr(cut + 1)));
  }
  detail::FormulaJudge judge(newIndex, names, book.sheetNames, brokenFiles);

  // Formula carriers, one part at a time, on up to two threads. Without a
  // test hook (which needs the plain text at Save) each edited part is
  // verified and compressed right away, while it is still in cache.
  auto jobs = Carriers();
  const bool compress = !hook;
  std::vector<detail::PartOutcome> outcomes(jobs.size());
  std::vector<std::optional<DeflatedPart>> compressed(jobs.size());
  std::vector<std::exception_ptr> rejections(jobs.size());
  std::vector<std::exception_ptr> errors(jobs.size());
  std::atomic<std::size_t> cursor{0};
  auto work = [&] {
    for (std::size_t i; (i = cursor.fetch_add(1)) < jobs.size();) {
      try {
        auto& outcome = outcomes[i];
        std::string text = package->Read(jobs[i].part);
        detail::PartContext ctx{&judge, &caches, jobs[i].sheet, compress};
        outcome = detail::RewritePart(jobs[i].kind, text, jobs[i].part, ctx);
        if (!compress || !outcome.edited) continue;
        if (outcome.editor.Empty()) {  // built whole (VML)
          std::string().swap(text);
          try {
            VerifyPart(jobs[i].part, outcome.content, next, brokenFiles);
          } catch (const PackageError&) {
            rejections[i] = std::current_exception();
          }
          compressed[i] = DeflatePart(outcome.content);
          std::string().swap(outcome.content);
          continue;
        }
        // The new text is never held whole: each piece is checked and
        // compressed as it is produced.
        PartVerifier verifier(jobs[i].part, next, brokenFiles);
        zip::Deflater deflater;
        outcome.editor.ApplyTo(text, [&](std::string_view piece, bool last) {
          if (!rejections[i]) {
            try {
              verifier.Feed(piece, last);
            } catch (const PackageError&) {
              rejections[i] = std::current_exception();
            }
          }
          deflater.Feed(piece, last);
        });
        outcome.editor = {};
        compressed[i] = DeflatedPart{std::move(deflater.Output()), deflater.Crc(), deflater.Size()};
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
#ifdef QUORVANE_NO_THREADS
  work();
#else
  {
    unsigned workers = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
    // A second thread only pays for itself on large parts: for a small
    // workbook its start costs more than it saves, and with --jobs the other
    // cores are busy with other workbooks anyway.
    std::uint64_t total = 0;
    for (const auto& job : jobs) total += package->StatedSize(job.part);
    if (total < kParallelPlanBytes) workers = 1;
    std::vector<std::jthread> threads;
    for (unsigned i = 1; i < workers && i < jobs.size(); ++i) threads.emplace_back(work);
    work();
  }
#endif
  bool formulaRemoved = false;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    if (errors[i]) std::rethrow_exception(errors[i]);
    result += outcomes[i].counts;
    formulaRemoved = formulaRemoved || outcomes[i].formulaRemoved;
    if (!outcomes[i].edited) continue;
    if (compressed[i]) {
      deflated[jobs[i].part] = std::move(*compressed[i]);
      if (rejections[i]) rejected[jobs[i].part] = rejections[i];
    } else {
      edited[jobs[i].part] = std::move(outcomes[i].content);
    }
  }

  // workbook.xml: defined names and the external references.
  xml::SpanEditor wb;
  for (std::size_t i = 0; i < book.names.size(); ++i) {
    const auto& n = book.names[i];
    // Only names that name a broken book themselves change; names using them
    // keep working on the constant.
    auto verdict = judge.Judge(n.entry.text, n.entry.localSheet, false);
    if (verdict.action == detail::FormulaJudge::Action::Break) {
      auto constant = detail::CachedConstant(n.entry.text, caches);
      if (constant) {
        ++result.names;
      } else {
        ++result.namesToRef;
      }
      wb.Replace(n.content, xml::EscapeText(constant ? *constant : "#REF!"));
    } else if (verdict.action == detail::FormulaJudge::Action::Renumber) {
      wb.Replace(n.content, xml::EscapeText(verdict.text));
      ++result.renumbered;
    }
  }
  if (next == 0 && count > 0) {
    wb.Remove(book.referencesElement);
  } else {
    for (auto k : broken) wb.Remove(book.references[k - 1].element);
  }
  edited[mainPart] = wb.Apply(mainXml);

  // Parts that go, with their relationships and content-type overrides.
  std::set<std::string> goneRelIds;
  std::set<std::string> goneParts;
  for (auto k : broken) {
    goneRelIds.insert(book.references[k - 1].relId);
    const auto& part = links[k - 1].part;
    if (part.empty()) continue;
    goneParts.insert(part);
    if (package->Has(RelsPartFor(part))) goneParts.insert(RelsPartFor(part));
  }
  if (formulaRemoved) {
    for (const auto& r : rels) {
      if (RelType(r.type) != "calcChain" || r.external) continue;
      goneRelIds.insert(r.id);
      std::string part = ResolvePartName(mainPart, r.target);
      if (package->Has(part)) {
        goneParts.insert(part);
        result.calcChainRemoved = true;
      }
    }
  }
  if (package->Has(relsPart)) {
    std::string relsXml = package->Read(relsPart);
    KeyedElements items("Relationship", "Id");
    xml::Parse(relsXml, relsPart, items);
    xml::SpanEditor ed;
    for (const auto& [id, span] : items.items)
      if (goneRelIds.count(id)) ed.Remove(span);
    if (!ed.Empty()) edited[relsPart] = ed.Apply(relsXml);
  }
  if (package->Has(kContentTypes)) {
    std::string typesXml = package->Read(kContentTypes);
    KeyedElements items("Override", "PartName");
    xml::Parse(typesXml, kContentTypes, items);
    // Part names compare without regard to case.
    std::set<std::string> gone;
    for (const auto& part : goneParts) gone.insert(Lower(part));
    xml::SpanEditor ed;
    for (const auto& [name, span] : items.items)
      if (gone.count(Lower(ResolvePartName("", name)))) ed.Remove(span);
    if (!ed.Empty()) edited[std::string(kContentTypes)] = ed.Apply(typesXml);
  }
  removed.assign(goneParts.begin(), goneParts.end());
  for (const auto& part : removed) {
    edited.erase(part);
    deflated.erase(part);
    rejected.erase(part);
  }
  result.partsRemoved = removed.size();
}

BreakResult& BreakResult::operator+=(const BreakResult& o) {
  cells += o.cells;
  uncached += o.uncached;
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
  if (broken.empty() || (broken == impl_->broken && !impl_->edited.empty())) return impl_->result;
  auto previous = std::move(impl_->broken);
  impl_->broken = std::move(broken);
  try {
    impl_->Plan();
  } catch (...) {
    impl_->broken = std::move(previous);
    impl_->edited.clear();
    impl_->deflated.clear();
    impl_->rejected.clear();
    impl_->removed.clear();
    if (!impl_->broken.empty()) impl_->Plan();
    throw;
  }
  return impl_->result;
}

std::map<std::uint32_t, LinkUsage> Workbook::Usage() const {
  impl_->Refresh();
  const auto& in = *impl_;
  std::vector<std::uint32_t> identity(in.links.size() + 1);
  for (std::uint32_t k = 0; k < identity.size(); ++k) identity[k] = k;
  detail::FormulaJudge judge(identity, in.names, in.book.sheetNames);
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
  impl_->edited.clear();
  impl_->deflated.clear();
  impl_->rejected.clear();
  impl_->removed.clear();
  impl_->result = {};
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
    hooked = impl_->edited;
    impl_->hook(*hooked);
  }
  const auto& edited = hooked ? *hooked : impl_->edited;
  if (!impl_->rejected.empty()) std::rethrow_exception(impl_->rejected.begin()->second);

  VerifyInput input;
  input.mainPart = impl_->mainPart;
  input.relsPart = impl_->relsPart;
  input.linkCount = static_cast<std::uint32_t>(impl_->links.size() - impl_->broken.size());
  input.removedParts = impl_->removed;
  for (const auto& entry : impl_->package->EntryNames())
    if (EndsWith(Lower(entry), ".rels")) input.otherRelsParts.push_back(entry);
  for (auto k : impl_->broken) {
    const auto& source = impl_->links[k - 1].source;
    auto cut = source.find_last_of("/\\");
    input.brokenFiles.push_back(Lower(cut == std::string::npos ? source : source.substr(cut + 1)));
  }
  input.edited = &edited;
  for (const auto& [part, unused] : impl_->deflated) input.checkedParts.push_back(part);
  input.read = [this](const std::string& part) { return impl_->package->Read(part); };
  Verify(input);

  for (const auto& [part, content] : edited) impl_->package->Replace(part, content);
  for (const auto& [part, content] : impl_->deflated) impl_->package->ReplaceDeflated(part, content);
  for (const auto& part : impl_->removed) impl_->package->Remove(part);
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

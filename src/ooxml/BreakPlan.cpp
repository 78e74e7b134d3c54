#include "ooxml/BreakPlan.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "ooxml/Ascii.h"
#include "ooxml/CachedLiteral.h"
#include "ooxml/Carriers.h"
#include "ooxml/Deflate.h"
#include "ooxml/Formula.h"
#include "ooxml/Rewrite.h"
#include "ooxml/Verifier.h"
#include "ooxml/Xml.h"

#if defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define QUORVANE_NO_THREADS 1  // MinGW's win32 thread model has no std::thread
#endif

namespace quorvane::ooxml::detail {
namespace {

using xml::Span;
using Action = FormulaJudge::Action;

constexpr std::string_view kContentTypes = "[Content_Types].xml";
// Formula-carrying XML below which the plan stays on one thread (a few ms of work).
constexpr std::uint64_t kParallelPlanBytes = 1 << 20;

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

// The new position of each link by its old one (0: broken), and how many
// links are left.
struct Numbering {
  std::vector<std::uint32_t> newIndex;
  std::uint32_t left = 0;
};

Numbering Renumber(std::uint32_t count, const std::set<std::uint32_t>& broken) {
  Numbering n;
  n.newIndex.assign(count + 1, 0);
  for (std::uint32_t k = 1; k <= count; ++k) n.newIndex[k] = broken.count(k) ? 0 : ++n.left;
  return n;
}

CacheMap ReadCaches(const BreakInput& in) {
  CacheMap caches;
  for (auto k : in.broken) {
    const auto& link = in.links[k - 1];
    if (link.form == LinkForm::Listed && !link.part.empty() && in.package.Has(link.part))
      caches.emplace(k, ReadLinkCache(in.package.Read(link.part), link.part));
  }
  return caches;
}

// Defined names the break sets to #REF!, and the names using them: what uses
// one of these has no value left. Names that become constants keep working.
std::vector<bool> DeadNames(const FormulaJudge& judge, const CacheMap& caches) {
  const auto& names = judge.Names();
  std::vector<bool> dead(names.size(), false);
  std::vector<std::vector<std::size_t>> uses(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!judge.NameBroken(i)) continue;
    if (judge.Judge(names[i].text, names[i].localSheet, false).action == Action::Break)
      dead[i] = !BrokenNameConstant(names[i].text, caches);
    for (const auto& used : formula::FindNameRefs(names[i].text, true)) {
      int j = judge.ResolveName(used, names[i].localSheet);
      if (j >= 0 && static_cast<std::size_t>(j) != i) uses[i].push_back(static_cast<std::size_t>(j));
    }
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (dead[i]) continue;
      for (std::size_t j : uses[i]) {
        if (dead[j]) {
          dead[i] = changed = true;
          break;
        }
      }
    }
  }
  return dead;
}

// What every carrier's rewrite reads.
struct RewriteShared {
  const BreakInput& in;
  const FormulaJudge& judge;
  const CacheMap& caches;
  std::uint32_t left;  // listed links left after the break
  const BookNames& books;
  const std::vector<bool>& deadNames;
};

// What rewriting one carrier produced, filled by whichever worker took it.
struct CarrierResult {
  PartOutcome outcome;
  std::optional<DeflatedPart> compressed;
  std::exception_ptr rejection;  // failed its check: reported by Save, like any other
  std::exception_ptr error;      // could not be rewritten: reported by the plan
};

// With `compress`, an edited part is verified and compressed right away,
// while it is still in cache.
void RewriteCarrier(const RewriteShared& s, const CarrierPart& job, CarrierResult& r) {
  const bool compress = s.in.compress;
  std::string text = s.in.package.Read(job.part);
  PartContext ctx{&s.judge, &s.caches, job.sheet, compress, &s.deadNames};
  auto& outcome = r.outcome;
  outcome = RewritePart(job.kind, text, job.part, ctx);
  if (!compress || !outcome.edited) return;
  if (outcome.editor.Empty()) {  // built whole (VML)
    std::string().swap(text);
    try {
      VerifyPart(job.part, outcome.content, s.left, s.books);
    } catch (const PackageError&) {
      r.rejection = std::current_exception();
    }
    r.compressed = DeflatePart(outcome.content);
    std::string().swap(outcome.content);
    return;
  }
  // The new text is never held whole: each piece is checked and
  // compressed as it is produced.
  PartVerifier verifier(job.part, s.left, s.books);
  zip::Deflater deflater;
  outcome.editor.ApplyTo(text, [&](std::string_view piece, bool last) {
    if (!r.rejection) {
      try {
        verifier.Feed(piece, last);
      } catch (const PackageError&) {
        r.rejection = std::current_exception();
      }
    }
    deflater.Feed(piece, last);
  });
  outcome.editor = {};
  r.compressed = DeflatedPart{std::move(deflater.Output()), deflater.Crc(), deflater.Size()};
}

// Runs `work` here and, when there is enough XML for it to pay, on a second
// thread too.
void RunWorkers([[maybe_unused]] std::size_t jobs, [[maybe_unused]] std::uint64_t totalBytes,
                const std::function<void()>& work) {
#ifdef QUORVANE_NO_THREADS
  work();
#else
  unsigned workers = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
  // A second thread only pays for itself on large parts: for a small
  // workbook its start costs more than it saves, and with --jobs the other
  // cores are busy with other workbooks anyway.
  if (totalBytes < kParallelPlanBytes) workers = 1;
  std::vector<std::jthread> threads;
  for (unsigned i = 1; i < workers && i < jobs; ++i) threads.emplace_back(work);
  work();
#endif
}

// Every formula carrier, one part at a time, on up to two threads. Returns
// whether a formula was removed anywhere.
bool RewriteCarriers(const RewriteShared& s, StagedBreak& out) {
  const auto jobs = FindCarriers(s.in.package, s.in.mainPart, s.in.rels, s.in.book.sheetRelIds);
  std::vector<CarrierResult> results(jobs.size());
  std::atomic<std::size_t> cursor{0};
  std::uint64_t total = 0;
  for (const auto& job : jobs) total += s.in.package.StatedSize(job.part);
  RunWorkers(jobs.size(), total, [&] {
    for (std::size_t i; (i = cursor.fetch_add(1)) < jobs.size();) {
      try {
        RewriteCarrier(s, jobs[i], results[i]);
      } catch (...) {
        results[i].error = std::current_exception();
      }
    }
  });

  bool formulaRemoved = false;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    auto& r = results[i];
    if (r.error) std::rethrow_exception(r.error);
    out.result += r.outcome.counts;
    formulaRemoved = formulaRemoved || r.outcome.formulaRemoved;
    if (!r.outcome.edited) continue;
    if (r.compressed) {
      out.deflated[jobs[i].part] = std::move(*r.compressed);
      if (r.rejection) out.rejected[jobs[i].part] = r.rejection;
    } else {
      out.edited[jobs[i].part] = std::move(r.outcome.content);
    }
  }
  return formulaRemoved;
}

// workbook.xml: defined names and the external references.
void EditWorkbookPart(const RewriteShared& s, StagedBreak& out) {
  const BreakInput& in = s.in;
  xml::SpanEditor wb;
  for (const auto& n : in.book.names) {
    // Only names that name a broken book themselves change; names using them
    // keep working on the constant.
    auto verdict = s.judge.Judge(n.entry.text, n.entry.localSheet, false);
    if (verdict.action == Action::Break) {
      auto constant = BrokenNameConstant(n.entry.text, s.caches);
      if (constant) {
        ++out.result.names;
      } else {
        ++out.result.namesToRef;
      }
      wb.Replace(n.content, xml::EscapeText(constant ? *constant : "#REF!"));
    } else if (verdict.action == Action::Renumber) {
      wb.Replace(n.content, xml::EscapeText(verdict.text));
      ++out.result.renumbered;
    }
  }
  const auto& references = in.book.references;
  if (s.left == 0 && !references.empty()) {
    wb.Remove(in.book.referencesElement);
  } else {
    for (auto k : in.broken)
      if (k <= references.size()) wb.Remove(references[k - 1].element);
  }
  if (!wb.Empty()) out.edited[in.mainPart] = wb.Apply(in.mainXml);
}

// The workbook's relationships to the parts that go.
void RemoveRelationships(const BreakInput& in, const std::set<std::string>& goneRelIds, StagedBreak& out) {
  if (!in.package.Has(in.relsPart)) return;
  std::string relsXml = in.package.Read(in.relsPart);
  KeyedElements items("Relationship", "Id");
  xml::Parse(relsXml, in.relsPart, items);
  xml::SpanEditor ed;
  for (const auto& [id, span] : items.items)
    if (goneRelIds.count(id)) ed.Remove(span);
  if (!ed.Empty()) out.edited[in.relsPart] = ed.Apply(relsXml);
}

// The content-type overrides of the parts that go.
void RemoveContentTypes(const BreakInput& in, const std::set<std::string>& goneParts, StagedBreak& out) {
  if (!in.package.Has(kContentTypes)) return;
  std::string typesXml = in.package.Read(kContentTypes);
  KeyedElements items("Override", "PartName");
  xml::Parse(typesXml, kContentTypes, items);
  // Part names compare without regard to case.
  std::set<std::string> gone;
  for (const auto& part : goneParts) gone.insert(Lower(part));
  xml::SpanEditor ed;
  for (const auto& [name, span] : items.items)
    if (gone.count(Lower(ResolvePartName("", name)))) ed.Remove(span);
  if (!ed.Empty()) out.edited[std::string(kContentTypes)] = ed.Apply(typesXml);
}

// Parts that go, with their relationships and content-type overrides.
void RemoveLinkParts(const BreakInput& in, bool formulaRemoved, StagedBreak& out) {
  std::set<std::string> goneRelIds;
  std::set<std::string> goneParts;
  for (auto k : in.broken) {
    if (k <= in.book.references.size()) goneRelIds.insert(in.book.references[k - 1].relId);
    const auto& part = in.links[k - 1].part;
    if (part.empty()) continue;
    goneParts.insert(part);
    if (in.package.Has(RelsPartFor(part))) goneParts.insert(RelsPartFor(part));
    // A part left out of the list goes with every relationship to it.
    if (in.links[k - 1].form != LinkForm::Unlisted) continue;
    for (const auto& r : in.rels) {
      if (!r.external && RelType(r.type) == "externalLink" &&
          Lower(ResolvePartName(in.mainPart, r.target)) == Lower(part))
        goneRelIds.insert(r.id);
    }
  }
  if (formulaRemoved) {
    for (const auto& r : in.rels) {
      if (RelType(r.type) != "calcChain" || r.external) continue;
      goneRelIds.insert(r.id);
      std::string part = ResolvePartName(in.mainPart, r.target);
      if (in.package.Has(part)) {
        goneParts.insert(part);
        out.result.calcChainRemoved = true;
      }
    }
  }
  RemoveRelationships(in, goneRelIds, out);
  RemoveContentTypes(in, goneParts, out);
  out.removed.assign(goneParts.begin(), goneParts.end());
  for (const auto& part : out.removed) {
    out.edited.erase(part);
    out.deflated.erase(part);
    out.rejected.erase(part);
  }
  out.result.partsRemoved = out.removed.size();
}

}  // namespace

BookNames LinkBooks(const std::filesystem::path& workbook, const std::vector<LinkInfo>& links,
                    const std::set<std::uint32_t>& broken) {
  BookNames books(workbook);
  for (const auto& link : links)
    if (link.kind == LinkKind::Book && link.form != LinkForm::Unlisted)
      books.Add(link.source, link.index, broken.count(link.index) != 0);
  return books;
}

StagedBreak PlanBreak(const BreakInput& in) {
  StagedBreak out;
  const auto listed = static_cast<std::uint32_t>(in.book.references.size());
  const Numbering numbering = Renumber(listed, in.broken);
  const CacheMap caches = ReadCaches(in);
  out.books = LinkBooks(in.path, in.links, in.broken);
  out.linksLeft = numbering.left;
  const FormulaJudge judge(numbering.newIndex, in.names, in.book.sheetNames, out.books);
  const std::vector<bool> deadNames = DeadNames(judge, caches);
  const RewriteShared shared{in, judge, caches, numbering.left, out.books, deadNames};
  const bool formulaRemoved = RewriteCarriers(shared, out);
  EditWorkbookPart(shared, out);
  RemoveLinkParts(in, formulaRemoved, out);
  return out;
}

}  // namespace quorvane::ooxml::detail

#pragma once
// The built-in engine's view of one workbook package: its links to other
// workbooks and the operation that breaks them.
//
//   auto book = Workbook::Open(path);          // reads, never writes
//   for (auto& link : book.Links()) ...        // every externalLink, in [n] order
//   auto result = book.Break({source, ...});   // stages the edits
//   book.Save();                               // verifies, then replaces the file
//
// Breaking a source turns everything that refers to it into what it shows
// now: cell formulas into their cached values, defined names into constants,
// chart references into literal data, validation lists into literal lists,
// references in rules into the values cached for them; what cannot be kept
// (rules without a value, control links, macros) is removed. Every other [n]
// is renumbered. All refusals throw PackageError with a one-line reason
// and leave the file as it was.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ooxml/ExternalLink.h"
#include "ooxml/Package.h"

namespace quorvane::ooxml {

// How often a link is used, counting uses through defined names too.
struct LinkUsage {
  std::size_t cells = 0;     // cell formulas (each shared-formula anchor once)
  std::size_t uncached = 0;  // ... of which were saved without a value
  std::size_t names = 0;     // defined names
  std::size_t charts = 0;    // chart series, title and label references
  std::size_t rules = 0;     // validation and conditional-format rules
  std::size_t controls = 0;  // shape text links, macros, control links
};

enum class LinkForm {
  Listed,    // an externalLink part in <externalReferences>: formulas use it as [n]
  Unlisted,  // an externalLink part of a book left out of the list: nothing uses it
  ByName,    // no link part: formulas name the book's file ([Book.xlsx]Sheet!A1)
};

struct LinkInfo {
  // The n of [n] for a listed link; the others are numbered on after those,
  // though no formula can use their numbers.
  std::uint32_t index = 0;
  LinkKind kind = LinkKind::Other;
  std::string part;    // the externalLink part ("" for a book named by file)
  std::string target;  // as stored in its relationship ("" for DDE); as first written for a book named by file
  std::string source;  // name as listed by LinkSources (books only)
  LinkForm form = LinkForm::Listed;
};

// Counts over everything a Break staged (cumulative across calls).
struct BreakResult {
  std::size_t cells = 0;           // cell formulas replaced by their cached value
  std::size_t uncached = 0;        // ... of which had no value and became #REF!
  std::size_t fromLinkCache = 0;   // ... of which had no value and took the one the link cached
  std::size_t names = 0;           // defined names turned into cached constants
  std::size_t namesToRef = 0;      // defined names set to #REF! (no cache)
  std::size_t charts = 0;          // chart references and labels turned into literal data
  std::size_t rulesConverted = 0;  // rules kept on values: literal lists, cached constants
  std::size_t rulesRemoved = 0;    // validation and conditional-format rules removed: no value
  std::size_t controls = 0;        // text links, macro assignments, control links removed
  std::size_t otherToRef = 0;      // other formulas (sparklines, chart extensions) set to #REF!
  std::size_t renumbered = 0;      // formulas whose [n] were only renumbered
  std::size_t partsRemoved = 0;    // externalLink parts (listed or not), their rels, calcChain
  bool calcChainRemoved = false;

  BreakResult& operator+=(const BreakResult& other);
};

// Called with the edited parts just before the verifier runs (tests only).
using EditHook = std::function<void(std::map<std::string, std::string>& editedParts)>;

class Workbook {
 public:
  // Reads the package structure and the list of links, transitional or
  // Strict. Throws PackageError (e.g. "malformed XML in xl/workbook.xml").
  static Workbook Open(const std::filesystem::path& path);

  Workbook(Workbook&&) noexcept;
  Workbook& operator=(Workbook&&) noexcept;
  ~Workbook();

  const std::filesystem::path& Path() const;
  // Every link in [n] order: books, DDE and OLE links; then the link parts
  // of books left out of the list, and the books formulas name by file
  // without a link part (found by reading every formula once).
  const std::vector<LinkInfo>& Links() const;
  // Sources of the book links in that order; a path used twice is listed twice.
  std::vector<std::string> BookSources() const;
  // Uses of each link by index (scans every part; books, DDE and OLE alike).
  std::map<std::uint32_t, LinkUsage> Usage() const;

  // Breaks every book link whose source equals one of `sources` (in addition
  // to those broken by earlier calls); a link part left out of the list is
  // removed, a book named by file is broken where it is named. Throws PackageError for a name that is
  // not a book link's source. Nothing is written.
  BreakResult Break(const std::vector<std::string>& sources);
  bool Changed() const;
  // Verifies the staged edits and replaces the file; does nothing when no
  // link was broken. Throws PackageError and leaves the file as it was when
  // the verifier finds a leftover reference or the write fails.
  void Save();
  // Forgets every staged edit.
  void Discard();

  void SetEditHookForTesting(EditHook hook);

 private:
  struct Impl;
  explicit Workbook(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane::ooxml

#pragma once
// Internal to the engine: the edits that break a set of links, staged for
// the verifier and Package::Save. Nothing is written here.

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/BookNames.h"
#include "ooxml/Judge.h"
#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/Workbook.h"
#include "ooxml/WorkbookPart.h"

namespace quorvane::ooxml::detail {

// The workbook as loaded, and the links to break.
struct BreakInput {
  const Package& package;
  const std::filesystem::path& path;  // the workbook's, for books named by a relative path
  const std::string& mainPart;
  const std::string& mainXml;
  const std::string& relsPart;
  const std::vector<Relationship>& rels;
  const WorkbookPart& book;
  const std::vector<LinkInfo>& links;  // listed ones first, in [n] order
  const std::vector<NameEntry>& names;
  const std::set<std::uint32_t>& broken;  // LinkInfo::index of each link to break
  // Verify and compress large edited parts as soon as they are rewritten
  // (false when a test hook needs their text at Save).
  bool compress = true;
};

struct StagedBreak {
  std::map<std::string, std::string> edited;
  // Large edited parts, verified and compressed by the workers as soon as
  // they are rewritten, so that only their compressed bytes stay in memory.
  // A failed check is kept and reported by Save, like any other.
  std::map<std::string, DeflatedPart> deflated;
  std::map<std::string, std::exception_ptr> rejected;
  std::vector<std::string> removed;
  BreakResult result;
  BookNames books;             // the books named by file, for the verifier
  std::uint32_t linksLeft = 0;  // listed links after the break
};

StagedBreak PlanBreak(const BreakInput& in);

// What formulas that name a book by file belong to: the book links in
// `links` (a listed link before a book only named), by source.
BookNames LinkBooks(const std::filesystem::path& workbook, const std::vector<LinkInfo>& links,
                    const std::set<std::uint32_t>& broken);

}  // namespace quorvane::ooxml::detail

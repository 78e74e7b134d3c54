#pragma once
// Internal to the engine: rewriting one part that carries formulas, once the
// judge knows what becomes of each.

#include <string>
#include <string_view>
#include <vector>

#include "ooxml/CachedLiteral.h"
#include "ooxml/Judge.h"
#include "ooxml/Workbook.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

enum class Carrier { Sheet, Chart, Drawing, Controls, Vml, Table };

struct PartContext {
  const FormulaJudge* judge = nullptr;
  const CacheMap* caches = nullptr;
  int sheet = -1;
  // Leave the edits of an XML part in PartOutcome::editor for the caller to
  // apply in pieces (not for VML, whose text is always built).
  bool deferApply = false;
  // By defined name: set to #REF! by the break, or using such a name.
  const std::vector<bool>* deadNames = nullptr;
};

struct PartOutcome {
  bool edited = false;
  std::string content;     // the new text, unless deferred
  xml::SpanEditor editor;  // the edits, when deferred
  BreakResult counts;
  bool formulaRemoved = false;
};

// Rewrites one part; untouched when nothing in it needs a change.
PartOutcome RewritePart(Carrier kind, std::string_view xml, std::string_view partName, const PartContext& ctx);

}  // namespace quorvane::ooxml::detail

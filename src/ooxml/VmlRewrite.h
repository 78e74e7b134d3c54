#pragma once
// Internal to the engine: formulas in legacy VML drawings (comments and form
// controls of old), found and rewritten.

#include <string>
#include <string_view>
#include <vector>

#include "ooxml/Rewrite.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

// Legacy VML is often not well-formed (Excel writes bare <br> in text
// boxes), so its Fmla* elements are found by a plain text scan.
struct VmlFormula {
  xml::Span element;
  xml::Span content;
  std::string text;  // decoded
};
std::vector<VmlFormula> ScanVmlFormulas(std::string_view vml);

PartOutcome RewriteVml(std::string_view text, const PartContext& ctx);

}  // namespace quorvane::ooxml::detail

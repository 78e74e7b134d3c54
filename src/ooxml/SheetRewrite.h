#pragma once
// Internal to the engine: rewriting a worksheet (also a macro or dialog sheet):
// cells, data validation, conditional formats, OLE objects, sparklines.

#include <string_view>

#include "ooxml/Rewrite.h"

namespace quorvane::ooxml::detail {

PartOutcome RewriteSheet(std::string_view text, std::string_view partName, const PartContext& ctx);

}  // namespace quorvane::ooxml::detail

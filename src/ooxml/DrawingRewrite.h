#pragma once
// Internal to the engine: rewriting a drawing (or chart shapes), control
// properties or a table; `kind` tells which.

#include <string_view>

#include "ooxml/Rewrite.h"

namespace quorvane::ooxml::detail {

PartOutcome RewriteDrawing(std::string_view text, std::string_view partName, const PartContext& ctx, Carrier kind);

}  // namespace quorvane::ooxml::detail

#pragma once
// Internal to the engine: rewriting a chart or chartEx part.

#include <string_view>

#include "ooxml/Rewrite.h"

namespace quorvane::ooxml::detail {

PartOutcome RewriteChart(std::string_view text, std::string_view partName, const PartContext& ctx);

}  // namespace quorvane::ooxml::detail

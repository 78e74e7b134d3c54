#pragma once
// Internal: counting the uses of each link (see Workbook::Usage).

#include <map>
#include <string_view>
#include <vector>

#include "ooxml/Rewrite.h"

namespace quorvane::ooxml::detail {

// The links each defined name reaches, directly or through other names.
struct UsageContext {
  explicit UsageContext(const FormulaJudge& judge);
  const FormulaJudge& judge;
  std::vector<std::vector<std::uint32_t>> nameReach;
};

std::vector<std::uint32_t> FormulaReach(const UsageContext& ctx, std::string_view formula, int sheet);

void CountUsage(const UsageContext& ctx, Carrier kind, std::string_view text, std::string_view partName, int sheet,
                std::map<std::uint32_t, LinkUsage>& usage);

}  // namespace quorvane::ooxml::detail

#pragma once
// Internal to the engine: every part that can hold a formula, found through
// the relationships from the workbook part (never by Excel's usual names),
// with the kind of rewrite each needs.

#include <string>
#include <vector>

#include "ooxml/Package.h"
#include "ooxml/Relationships.h"
#include "ooxml/Rewrite.h"

namespace quorvane::ooxml::detail {

struct CarrierPart {
  std::string part;
  Carrier kind;
  int sheet;  // 0-based position of the sheet the part belongs to, -1 for none
};

// sheetRelIds: the relationship id of each sheet of the workbook, in order.
std::vector<CarrierPart> FindCarriers(const Package& package, const std::string& mainPart,
                                      const std::vector<Relationship>& rels,
                                      const std::vector<std::string>& sheetRelIds);

}  // namespace quorvane::ooxml::detail

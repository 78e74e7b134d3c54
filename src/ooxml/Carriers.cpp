#include "ooxml/Carriers.h"

#include <set>

namespace quorvane::ooxml::detail {

std::vector<CarrierPart> FindCarriers(const Package& package, const std::string& mainPart,
                                      const std::vector<Relationship>& rels,
                                      const std::vector<std::string>& sheetRelIds) {
  std::vector<CarrierPart> jobs;
  std::set<std::string> seen{mainPart};
  struct Pending {
    std::string part;
    std::string type;
    int sheet;
  };
  std::vector<Pending> queue;
  for (const auto& r : rels) {
    if (r.external) continue;
    int sheet = -1;
    for (std::size_t i = 0; i < sheetRelIds.size(); ++i)
      if (sheetRelIds[i] == r.id) sheet = static_cast<int>(i);
    queue.push_back({ResolvePartName(mainPart, r.target), RelType(r.type), sheet});
  }
  static const std::set<std::string> kFollow = {"worksheet", "xlMacrosheet", "xlIntlMacrosheet", "dialogsheet",
                                                "chartsheet", "drawing", "chart", "chartUserShapes"};
  while (!queue.empty()) {
    Pending p = std::move(queue.back());
    queue.pop_back();
    if (!seen.insert(p.part).second || !package.Has(p.part)) continue;
    const std::string& t = p.type;
    if (t == "worksheet" || t == "xlMacrosheet" || t == "xlIntlMacrosheet" || t == "dialogsheet") {
      jobs.push_back({p.part, Carrier::Sheet, p.sheet});
    } else if (t == "chart" || t == "chartEx") {
      jobs.push_back({p.part, Carrier::Chart, p.sheet});
    } else if (t == "drawing" || t == "chartUserShapes") {
      jobs.push_back({p.part, Carrier::Drawing, p.sheet});
    } else if (t == "ctrlProp") {
      jobs.push_back({p.part, Carrier::Controls, p.sheet});
    } else if (t == "vmlDrawing") {
      jobs.push_back({p.part, Carrier::Vml, p.sheet});
    } else if (t == "table") {
      jobs.push_back({p.part, Carrier::Table, p.sheet});
    }
    if (!kFollow.count(t)) continue;
    std::string partRels = RelsPartFor(p.part);
    if (!package.Has(partRels)) continue;
    for (const auto& r : ParseRelationships(package.Read(partRels)))
      if (!r.external) queue.push_back({ResolvePartName(p.part, r.target), RelType(r.type), p.sheet});
  }
  return jobs;
}

}  // namespace quorvane::ooxml::detail

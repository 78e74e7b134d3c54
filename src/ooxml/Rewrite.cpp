#include "ooxml/Rewrite.h"

#include <cstring>

#include "ooxml/ChartRewrite.h"
#include "ooxml/DrawingRewrite.h"
#include "ooxml/SheetRewrite.h"
#include "ooxml/VmlRewrite.h"

namespace quorvane::ooxml::detail {

PartOutcome RewritePart(Carrier kind, std::string_view text, std::string_view partName, const PartContext& ctx) {
  // Without a "[" nothing in the part names another book; only uses of broken
  // names could still matter.
  if (std::memchr(text.data(), '[', text.size()) == nullptr && !ctx.judge->AnyNameBroken()) return {};
  switch (kind) {
    case Carrier::Sheet:
      return RewriteSheet(text, partName, ctx);
    case Carrier::Chart:
      return RewriteChart(text, partName, ctx);
    case Carrier::Vml:
      return RewriteVml(text, ctx);
    default:
      return RewriteDrawing(text, partName, ctx, kind);
  }
}

}  // namespace quorvane::ooxml::detail

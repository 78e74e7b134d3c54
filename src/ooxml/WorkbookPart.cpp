#include "ooxml/WorkbookPart.h"

#include <algorithm>
#include <cstdlib>

#include "ooxml/Ascii.h"
#include "ooxml/Package.h"
#include "ooxml/Relationships.h"

namespace quorvane::ooxml::detail {
namespace {

class WorkbookReader : public xml::Handler {
 public:
  WorkbookPart part;

  void Start(const xml::StartTag& tag) override {
    if (tag.local == "sheet") {
      const char* name = tag.Attr("name");
      const char* id = RelationshipId(tag);
      part.sheetNames.emplace_back(name ? name : "");
      part.sheetRelIds.emplace_back(id ? id : "");
    } else if (tag.local == "definedName") {
      WorkbookPart::Name n;
      const char* name = tag.Attr("name");
      const char* local = tag.Attr("localSheetId");
      n.entry.name = name ? name : "";
      n.entry.key = Lower(n.entry.name);
      n.entry.localSheet = local ? std::atoi(local) : -1;
      n.content = {tag.tag.end, tag.tag.end};
      part.names.push_back(std::move(n));
      inName_ = !tag.empty;
      text_.clear();
    } else if (tag.local == "externalReferences") {
      part.referencesElement.begin = tag.tag.begin;
    } else if (tag.local == "externalReference") {
      const char* id = RelationshipId(tag);
      part.references.push_back({id ? id : "", {tag.tag.begin, tag.tag.end}});
    }
  }
  void End(const xml::EndTag& tag) override {
    if (tag.local == "definedName" && inName_) {
      inName_ = false;
      part.names.back().content.end = std::max(part.names.back().content.begin, tag.tag.begin);
      part.names.back().entry.text = text_;
    } else if (tag.local == "externalReferences") {
      part.referencesElement.end = tag.tag.end;
    } else if (tag.local == "externalReference") {
      part.references.back().element.end = tag.tag.end;
    }
  }
  void Text(std::string_view t) override {
    if (inName_) text_.append(t);
  }

 private:
  bool inName_ = false;
  std::string text_;
};

}  // namespace

WorkbookPart ReadWorkbookPart(std::string_view xml, std::string_view partName) {
  WorkbookReader reader;
  xml::Parse(xml, partName, reader);
  return std::move(reader.part);
}

}  // namespace quorvane::ooxml::detail

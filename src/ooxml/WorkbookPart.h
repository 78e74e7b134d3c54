#pragma once
// Internal to the engine: what the break reads of the workbook part
// (workbook.xml) and the byte ranges it edits there.

#include <string>
#include <string_view>
#include <vector>

#include "ooxml/Judge.h"
#include "ooxml/Xml.h"

namespace quorvane::ooxml::detail {

struct WorkbookPart {
  struct Name {
    NameEntry entry;
    xml::Span content;
  };
  struct Reference {
    std::string relId;
    xml::Span element;
  };
  std::vector<std::string> sheetNames, sheetRelIds;
  std::vector<Name> names;
  std::vector<Reference> references;  // in [n] order
  xml::Span referencesElement;
};

// Transitional and Strict alike; throws PackageError for XML that is not
// well-formed.
WorkbookPart ReadWorkbookPart(std::string_view xml, std::string_view partName);

}  // namespace quorvane::ooxml::detail

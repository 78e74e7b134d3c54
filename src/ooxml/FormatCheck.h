#pragma once
// Recognising what a file is, so that what the engine must not or cannot
// edit is refused up front with the reason the user needs: legacy and
// binary Excel formats, encrypted and signed workbooks, packages that hold
// no workbook. Every refusal throws PackageError.

#include <string>
#include <string_view>
#include <vector>

#include "ooxml/ZipInput.h"
#include "ooxml/ZipReader.h"

namespace quorvane::ooxml {

// By the first bytes, before the file is read as a zip: .xls (a compound
// file or a BIFF stream), an encrypted workbook (a compound file too), XML
// Spreadsheet 2003.
void RefuseLegacyFormats(const zip::Input& in);

// What recognition reads of a package whose zip structure passed its checks.
class PackageParts {
 public:
  // A part's entry (names compare without regard to case, a leading "/"
  // ignored), or nullptr.
  virtual const zip::Entry* Find(std::string_view name) const = 0;
  virtual std::string Read(const zip::Entry& entry) const = 0;

 protected:
  ~PackageParts() = default;
};

// By the package's own parts: content types, package relationships, the
// main part's root element. Returns the main workbook part's name as stored.
std::string RecogniseWorkbook(const std::vector<std::string>& entryNames, const PackageParts& parts);

}  // namespace quorvane::ooxml

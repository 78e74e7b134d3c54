#pragma once
// The last check before a broken workbook is written: every edited part is
// read again and must be well-formed, every [n] in it must name a link that
// is still there, and nothing may point at a removed part.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quorvane::ooxml {

struct VerifyInput {
  std::string mainPart;  // the workbook part
  std::string relsPart;  // its relationships
  std::uint32_t linkCount = 0;  // links left after the break
  std::vector<std::string> removedParts;
  std::vector<std::string> brokenFiles;  // lower-case file names of the broken sources
  const std::map<std::string, std::string>* edited = nullptr;  // part -> new content
  std::function<std::string(const std::string&)> read;          // original content
};

// Throws PackageError("verification failed: ...") naming the first problem.
void Verify(const VerifyInput& input);

}  // namespace quorvane::ooxml

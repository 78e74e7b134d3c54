#pragma once
// Internal to the engine: the literal a broken reference stands for, made
// from the values its link part cached.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ooxml/ExternalLink.h"

namespace quorvane::ooxml::detail {

// Caches of the links being broken, by old index; read before any worker starts.
using CacheMap = std::map<std::uint32_t, LinkCache>;

// The literal a broken single external reference stands for: a constant or an
// array constant from the cache, or std::nullopt when the cache lacks it.
std::optional<std::string> CachedConstant(std::string_view formula, const CacheMap& caches);
// The value the cache holds for a formula that is exactly one cell of a
// broken link ([1]S!A1, or a name of that book standing for one cell), or
// nullptr.
const CachedValue* CachedCell(std::string_view formula, const CacheMap& caches);
// A list validation's "a,b,c" literal (quotes included), when the cache allows.
std::optional<std::string> CachedList(std::string_view formula, const CacheMap& caches);

// What a defined name that names a broken book itself becomes: the constant
// its cache gives, or nullopt when it becomes #REF!.
std::optional<std::string> BrokenNameConstant(std::string_view text, const CacheMap& caches);

// The formula with each reference into a broken book (newIndex 0) that names
// one cell, or a name of that book standing for one cell, replaced by the
// value cached for it: AND(A1>[1]T!$A$1,B1) -> AND(A1>10,B1). Other books keep
// their numbers (renumbering is the caller's). nullopt when such a reference
// has no single cached value.
std::optional<std::string> SubstituteCachedValues(std::string_view formula, const CacheMap& caches,
                                                  const std::vector<std::uint32_t>& newIndex);

}  // namespace quorvane::ooxml::detail

#pragma once
// Internal to the engine: the literal a broken reference stands for, made
// from the values its link part cached.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace quorvane::ooxml::detail

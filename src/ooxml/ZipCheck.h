#pragma once
// A second opinion on the zip structure, from libzip (the only code that
// talks to it): what our own reader accepted must not look damaged to
// another implementation either.

#include "ooxml/ZipInput.h"

namespace quorvane::ooxml::zip {

// Throws PackageError("damaged zip package: <libzip's reason>").
void CheckWithLibzip(const Input& in);

}  // namespace quorvane::ooxml::zip

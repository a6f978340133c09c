#pragma once

#include <unicode/unistr.h>

namespace Processor {

// The engine's wide (UTF-16) text: names, paths, INF text and registry text.
using String = icu::UnicodeString;

}  // namespace Processor

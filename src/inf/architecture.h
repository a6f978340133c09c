#pragma once

#include <cstdint>

// Texts of the target platform codes (1 x86, 2 ia64, 3 amd64, 0 not recognised) as INF
// files write them: the architecture suffix of "SourceDisksFiles.amd64" and the platform
// decoration of "CatalogFile.ntamd64" and of models sections. Kept here, below every layer
// that decorates names, so that all of them spell the platforms the same way.
namespace Transvia::InfPlatform {

constexpr uint32_t kUnknown = 0;
constexpr uint32_t kX86 = 1;
constexpr uint32_t kIa64 = 2;
constexpr uint32_t kAmd64 = 3;

// "x86", "ia64", "amd64"; empty for an unknown code.
constexpr const char16_t* ArchitectureText(uint32_t platform)
{
    switch (platform) {
    case kX86: return u"x86";
    case kIa64: return u"ia64";
    case kAmd64: return u"amd64";
    default: return u"";
    }
}

// "ntx86", "ntia64", "ntamd64"; empty for an unknown code.
constexpr const char16_t* Decoration(uint32_t platform)
{
    switch (platform) {
    case kX86: return u"ntx86";
    case kIa64: return u"ntia64";
    case kAmd64: return u"ntamd64";
    default: return u"";
    }
}

}  // namespace Transvia::InfPlatform

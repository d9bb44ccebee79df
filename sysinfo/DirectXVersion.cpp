#include "sysinfo/DirectXVersion.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace orbiscope {
namespace {

// One row of the library table: the version bounds for the 4.x and 5.x numbering (a bound
// of 0 means that numbering does not qualify), and the version the row sets.
struct LibraryRow {
  const char* library;
  std::uint64_t atLeast4;   // when the high part is 4.x (or any part, for rows without 5.x)
  std::uint64_t atLeast5;   // when the high part is 5.x; 0: the single bound covers all
  bool anyRecord;           // the row holds as soon as a version record exists
  DirectXParts sets;
};

constexpr LibraryRow kRows[] = {
    {"ddraw.dll", MakeFileVersion(4, 2, 0, 95), 0, false, {1, 0, ' '}},
    {"ddraw.dll", MakeFileVersion(4, 3, 0, 1096), 0, false, {2, 0, ' '}},
    {"ddraw.dll", MakeFileVersion(4, 4, 0, 68), 0, false, {3, 0, ' '}},
    {"d3drg8x.dll", MakeFileVersion(4, 4, 0, 70), 0, false, {3, 0, 'a'}},
    {"ddraw.dll", MakeFileVersion(4, 5, 0, 155), 0, false, {5, 0, ' '}},
    {"ddraw.dll", MakeFileVersion(4, 6, 0, 318), 0, false, {6, 0, ' '}},
    {"ddraw.dll", MakeFileVersion(4, 6, 0, 436), 0, false, {6, 1, ' '}},
    {"dplayx.dll", MakeFileVersion(4, 6, 3, 518), 0, false, {6, 1, 'a'}},
    {"ddraw.dll", MakeFileVersion(4, 7, 0, 700), 0, false, {7, 0, ' '}},
    {"dinput.dll", MakeFileVersion(4, 7, 0, 716), 0, false, {7, 0, 'a'}},
    {"ddraw.dll", MakeFileVersion(4, 8, 0, 400), MakeFileVersion(5, 1, 2258, 400), false,
     {8, 0, ' '}},
    {"d3d8.dll", MakeFileVersion(4, 8, 1, 881), MakeFileVersion(5, 1, 2600, 881), false,
     {8, 1, ' '}},
    {"d3d8.dll", MakeFileVersion(4, 8, 1, 901), MakeFileVersion(5, 1, 2600, 901), false,
     {8, 1, 'a'}},
    {"mpg2splt.ax", MakeFileVersion(6, 3, 1, 885), 0, false, {8, 1, 'b'}},
    {"dpnet.dll", MakeFileVersion(4, 9, 0, 134), MakeFileVersion(5, 2, 3677, 134), false,
     {8, 2, ' '}},
    {"d3d9.dll", 0, 0, true, {9, 0, ' '}},
};

bool RowHolds(const LibraryRow& row, std::uint64_t version) {
  if (row.anyRecord) return true;
  if (row.atLeast5 == 0) return version >= row.atLeast4;
  // Two numberings: the bound is chosen by the major part of the high word.
  const std::uint32_t major = static_cast<std::uint32_t>(version >> 48);
  if (major == 4) return version >= row.atLeast4;
  if (major == 5) return version >= row.atLeast5;
  return false;
}

}  // namespace

int QueryFileVersions(const FileVersionLookup& lookup, DirectXParts& parts) {
  parts = DirectXParts{};
  if (!lookup) return kDxOk;
  for (const LibraryRow& row : kRows) {
    std::uint64_t version = 0;
    if (!lookup(row.library, version)) continue;
    if (RowHolds(row, version)) parts = row.sets;
  }
  return kDxOk;
}

std::uint32_t FormatDirectXVersion(DirectXParts parts, char* text, std::size_t size) {
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(parts.letter)));
  std::uint32_t number = (static_cast<std::uint32_t>(parts.major) * 256u +
                          static_cast<std::uint32_t>(parts.minor)) * 256u;
  const bool hasLetter = letter >= 'a' && letter <= 'z';
  if (hasLetter) number += static_cast<std::uint32_t>(letter - 'a' + 1);
  if (text != nullptr && size > 0) {
    if (letter == ' ' || letter == '\0')
      std::snprintf(text, size, "%d.%d", parts.major, parts.minor);
    else
      std::snprintf(text, size, "%d.%d%c", parts.major, parts.minor, letter);
  }
  return number;
}

int GetDirectXVersion(const DiagnosticsLookup& diagnostics, const FileVersionLookup& files,
                      std::uint32_t* number, char* text, std::size_t size) {
  if (number != nullptr) *number = 0;
  if (text != nullptr && size > 0) text[0] = '\0';
  DirectXParts parts;
  int status = diagnostics ? diagnostics(parts) : kDxFail;
  if (status != kDxOk) {
    status = files ? QueryFileVersions(files, parts) : kDxFail;
    if (status != kDxOk) return status;
  }
  const std::uint32_t value = FormatDirectXVersion(parts, text, size);
  if (number != nullptr) *number = value;
  return kDxOk;
}

int GetDirectXVersion(std::uint32_t* number, char* text, std::size_t size) {
  // No video runtime to ask on Linux: a fixed, current answer so that start-up proceeds.
  const DiagnosticsLookup fixed = [](DirectXParts& parts) {
    parts = DirectXParts{9, 0, 'c'};
    return kDxOk;
  };
  return GetDirectXVersion(fixed, FileVersionLookup{}, number, text, size);
}

}  // namespace orbiscope

// The resource bundle that winsim appends to a program file: its bitness (what a PE header would
// say) and its resources (type, id, language → bytes), as Windows keeps them in the image.
// A bitmap ("#2") is kept as its DIB (the .bmp without its 14-byte file header), as on Windows.
// An icon is kept differently: the whole .ico file under "#14" (RT_GROUP_ICON) and its id, with no
// separate "#3" entries per image, since nothing here draws single icon images.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {

struct ResourceEntry {
  std::string type;  // "#2" for a numeric type, else the type's name
  std::string id;  // "#171" for a numeric id, else the name
  uint16_t lang = 0;
  std::vector<uint8_t> data;
};

struct Bundle {
  int bits = 0;  // 32 or 64; 0: the machine's own width (system programs)
  std::vector<ResourceEntry> entries;
};

// nullopt when the file carries no bundle.
std::optional<Bundle> ReadBundle(const std::string& hostPath, bool withData = true);
// Replaces the file's bundle (if any) with this one. False on I/O failure.
bool WriteBundle(const std::string& hostPath, const Bundle& bundle);

}  // namespace winsim

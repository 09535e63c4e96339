// Resources carried inside the running program's file (type, id, language → bytes).
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace win {

class IResources {
 public:
  virtual ~IResources() = default;
  // FindResourceExW + LoadResource + SizeofResource in one: type and id as "#123" for numbers,
  // else the name; language 0 takes the first entry of any language. nullopt when absent.
  virtual std::optional<std::vector<BYTE>> LoadResourceBytes(std::u16string_view type, std::u16string_view id,
                                                             WORD lang) = 0;
};

}  // namespace win

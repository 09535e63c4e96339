// Resources of the running program: the bundle appended to its own program file.
#include "platform/resources.h"

#include "platform/text.h"
#include "platform/winsim/bundle.h"
#include "platform/winsim/paths.h"
#include "platform/winsim/services.h"

namespace winsim {

namespace {

class WinsimResources : public win::IResources {
 public:
  explicit WinsimResources(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

  std::optional<std::vector<win::BYTE>> LoadResourceBytes(std::u16string_view type, std::u16string_view id,
                                                          win::WORD lang) override {
    auto path = ParseWinPath(m_->self().imagePath, u"C:\\");
    if (!path) return std::nullopt;
    // The image path is what the process was started with, never redirected.
    auto bundle = ReadBundle(ToHostPath(m_->root(), *path));
    if (!bundle) return std::nullopt;
    const std::string t = win::WideToUtf8(type), i = win::WideToUtf8(id);
    for (auto& e : bundle->entries) {
      if (e.type == t && e.id == i && (lang == 0 || e.lang == lang)) return std::vector<win::BYTE>(e.data.begin(), e.data.end());
    }
    return std::nullopt;
  }

 private:
  std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<win::IResources> MakeResources(std::shared_ptr<Machine> machine) {
  return std::make_unique<WinsimResources>(std::move(machine));
}

}  // namespace winsim

// Placeholder: the registry backend lands here.
#include "platform/winsim/services.h"
namespace winsim {
std::unique_ptr<win::IRegistry> MakeRegistry(std::shared_ptr<Machine>) { return nullptr; }
}  // namespace winsim

// Placeholder: the file backend lands here.
#include "platform/winsim/services.h"
namespace winsim {
std::unique_ptr<win::IFileSystem> MakeFiles(std::shared_ptr<Machine>) { return nullptr; }
}  // namespace winsim

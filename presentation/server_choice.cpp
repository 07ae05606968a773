#include "presentation/server_choice.h"

#include "presentation/builtin_engine.h"

namespace tam::pres {

std::shared_ptr<Server> ChooseServer() {
  // The Impress plug-in, once it ships, is tried here first.
  return std::make_shared<BuiltinServer>(/*windows=*/true);
}

}  // namespace tam::pres

// SPDX-License-Identifier: MIT
#include "presentation/server_choice.h"

#include "presentation/impress_loader.h"

namespace tam::pres {

EngineChoice::EngineChoice(std::shared_ptr<Server> builtin, std::shared_ptr<Server> impress)
    : builtin_(std::move(builtin)), impress_(std::move(impress)), uses_impress_(impress_ != nullptr) {}

std::shared_ptr<Server> LoadImpressIfInstalled() {
  std::string why_not;
  ImpressOptions options;
  options.shown = true;  // the window's presentations are there to be seen
  return LoadImpressServer(options, &why_not);
}

}  // namespace tam::pres

#pragma once
// Which presentation server the main window drives.
#include <memory>

#include "presentation/server.h"

namespace tam::pres {

// The LibreOffice Impress engine when its plug-in loads, else the built-in
// engine, whose presentations open in windows of this program.
std::shared_ptr<Server> ChooseServer();

}  // namespace tam::pres

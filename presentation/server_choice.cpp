#include "presentation/server_choice.h"

#include "presentation/builtin_engine.h"
#include "presentation/impress_loader.h"

namespace tam::pres {

std::shared_ptr<Server> ChooseServer() {
  // An installed LibreOffice Impress is the real presentation program: the
  // slides are built there and stay open for the user to edit and save. The
  // office itself starts only when the insert command first connects.
  std::string why_not;
  if (std::unique_ptr<OfficeServer> impress = LoadImpressServer({}, &why_not)) return std::move(impress);
  return std::make_shared<BuiltinServer>(/*windows=*/true);
}

}  // namespace tam::pres

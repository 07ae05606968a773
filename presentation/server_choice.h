// SPDX-License-Identifier: MIT
#pragma once
// Which presentation server the main window drives: the user's choice between
// LibreOffice Impress and the built-in engine, made on the menu.
#include <memory>
#include <utility>

#include "presentation/server.h"

namespace tam::pres {

// A server that hands every connection to one of two engines: Impress while it
// is chosen, the built-in engine otherwise. Objects already handed out stay
// with the engine that made them, so a switch takes effect at the next
// connection.
class EngineChoice : public Server {
 public:
  // impress may be null (not installed, plug-in not loadable): then the
  // built-in engine serves always. With impress, it is the choice at start.
  EngineChoice(std::shared_ptr<Server> builtin, std::shared_ptr<Server> impress);

  bool ImpressAvailable() const { return impress_ != nullptr; }
  bool UsesImpress() const { return uses_impress_; }
  // Ignored (stays false) when Impress is not available.
  void UseImpress(bool use) { uses_impress_ = use && impress_; }

  std::shared_ptr<Application> ConnectApplication() override { return Current().ConnectApplication(); }
  std::shared_ptr<Presentation> ConnectPresentation() override { return Current().ConnectPresentation(); }
  std::shared_ptr<Slide> ConnectSlide() override { return Current().ConnectSlide(); }
  // A run belongs to the engine chosen when it began: that engine alone
  // learns where it ends (the window takes no input in between).
  void BeginRun() override {
    running_ = &Current();
    running_->BeginRun();
  }
  void EndRun() override {
    if (Server* server = std::exchange(running_, nullptr)) server->EndRun();
  }
  void WhileWaiting(std::function<void()> waiting) override {
    builtin_->WhileWaiting(waiting);
    if (impress_) impress_->WhileWaiting(std::move(waiting));
  }

 private:
  Server& Current() { return uses_impress_ ? *impress_ : *builtin_; }

  std::shared_ptr<Server> builtin_;
  std::shared_ptr<Server> impress_;
  bool uses_impress_;
  Server* running_ = nullptr;
};

// The Impress engine when LibreOffice and the plug-in are installed, else null.
// The office itself starts only when the insert command first connects.
std::shared_ptr<Server> LoadImpressIfInstalled();

}  // namespace tam::pres

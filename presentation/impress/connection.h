// SPDX-License-Identifier: MIT
#pragma once
// One connection to the office over its pipe, and what every call through it
// shares: the conversions, the errors the user sees, the local UNO runtime.
#include <atomic>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#pragma GCC visibility push(default)
#include "picture/error.h"
#include "presentation/impress_loader.h"
#pragma GCC visibility pop
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/graphic/XGraphicProvider.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <cppuhelper/exc_hlp.hxx>
#include <rtl/ustring.hxx>

#include "presentation/impress/uno_worker.h"

namespace tam::pres::impress {

using namespace com::sun::star;
using rtl::OString;
using rtl::OUString;
using rtl::OUStringToOString;
using uno::Reference;
using uno::UNO_QUERY;
using uno::UNO_QUERY_THROW;

inline OUString ToOUString(const std::string& utf8) {
  return OUString(utf8.data(), static_cast<sal_Int32>(utf8.size()), RTL_TEXTENCODING_UTF8);
}
inline std::string ToUtf8(const OUString& s) {
  return OString(OUStringToOString(s, RTL_TEXTENCODING_UTF8)).getStr();
}

inline sal_Int32 PointsToHmm(double points) {
  return static_cast<sal_Int32>(std::lround(points * 2540.0 / 72.0));
}

inline std::string Seconds(int ms) { return std::to_string((ms + 999) / 1000); }

// Runs f and turns every UNO exception into the error the user sees, with
// the office's own description.
template <class F>
auto Guarded(F f) {
  return [f = std::move(f)]() mutable -> std::invoke_result_t<F> {
    try {
      return f();
    } catch (const lang::DisposedException&) {
      // What the bridge adds (its source file and line) means nothing to the user.
      throw Error("LibreOffice との接続が切れました (LibreOffice が終了した可能性があります)");
    } catch (const uno::Exception& e) {
      std::string message = ToUtf8(e.Message);
      if (message.empty())
        message = "LibreOffice でエラーが発生しました (" +
                  ToUtf8(cppu::getCaughtException().getValueTypeName()) + ")";
      throw Error(message);
    }
  };
}

Reference<uno::XComponentContext> LocalContext();

// The office's context behind the pipe, or null when nobody listens there.
Reference<uno::XComponentContext> Resolve(const OUString& url);

struct Session;

// What an insert run holds in the office until it ends: the presentations it
// made, whose views are not redrawn after every change of every slide (the
// office's hidden view of a presentation costs more with every slide).
struct RunState {
  bool active = false;
  struct Held {
    std::weak_ptr<Session> session;
    Reference<frame::XModel> model;
    bool show;  // its window is shown when the run ends
  };
  std::vector<Held> held;
};

struct Session {
  Session(const ImpressOptions& o, std::shared_ptr<RunState> r,
          std::shared_ptr<const std::function<void()>> w)
      : options(o), run(std::move(r)), waiting(std::move(w)) {}
  ImpressOptions options;
  std::shared_ptr<RunState> run;
  // The server's Server::WhileWaiting, run while a call takes its time.
  std::shared_ptr<const std::function<void()>> waiting;
  UnoWorker worker;
  Reference<uno::XComponentContext> context;
  Reference<frame::XDesktop2> desktop;
  std::atomic<bool> visible{false};
  // The office was started here without a display: nobody sees its windows.
  bool headless = false;
  // Made on the worker when the first picture is inserted, then kept: every
  // call into the office is a round trip over the pipe. Calls share it, not
  // the session, which must never end on the worker's own thread.
  std::shared_ptr<Reference<graphic::XGraphicProvider>> graphic_provider =
      std::make_shared<Reference<graphic::XGraphicProvider>>();
  // The office's service manager, asked for by the first picture too.
  std::shared_ptr<Reference<lang::XMultiComponentFactory>> service_manager =
      std::make_shared<Reference<lang::XMultiComponentFactory>>();

  template <class F>
  std::invoke_result_t<F> Call(F f) {
    return Call(std::move(f), options.call_timeout_ms);
  }
  template <class F>
  std::invoke_result_t<F> Call(F f, int limit_ms) {
    const std::function<void()> waiting_now = *waiting;  // may be replaced meanwhile
    return worker.Call(Guarded(std::move(f)), std::chrono::milliseconds(limit_ms),
                       "LibreOffice が " + Seconds(limit_ms) +
                           " 秒以内に応答しませんでした (LibreOffice が応答していない可能性があります)",
                       "LibreOffice が応答していません", waiting_now);
  }
};

}  // namespace tam::pres::impress

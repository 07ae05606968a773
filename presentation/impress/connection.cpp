// SPDX-License-Identifier: MIT
#include "presentation/impress/connection.h"

#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <rtl/bootstrap.hxx>

namespace tam::pres::impress {

namespace {
constexpr const char* kProgramDir = "/usr/lib/libreoffice/program";
}  // namespace

Reference<uno::XComponentContext> LocalContext() {
  // Made once and kept for the life of the process: the UNO runtime does not
  // like being torn down while bridges may still be around.
  static Reference<uno::XComponentContext>* context = [] {
    const OUString dir = OUString::createFromAscii("file://") + OUString::createFromAscii(kProgramDir);
    rtl::Bootstrap::set("URE_INTERNAL_LIB_DIR", dir);
    rtl::Bootstrap::set("UNO_TYPES", dir + "/types.rdb " + dir + "/types/offapi.rdb");
    rtl::Bootstrap::set("UNO_SERVICES", dir + "/services.rdb");
    return new Reference<uno::XComponentContext>(cppu::defaultBootstrap_InitialComponentContext());
  }();
  return *context;
}

Reference<uno::XComponentContext> Resolve(const OUString& url) {
  Reference<bridge::XUnoUrlResolver> resolver = bridge::UnoUrlResolver::create(LocalContext());
  try {
    return Reference<uno::XComponentContext>(resolver->resolve(url), UNO_QUERY_THROW);
  } catch (const connection::NoConnectException&) {
    return {};
  }
}

}  // namespace tam::pres::impress

// SPDX-License-Identifier: MIT
#include "app/frame_hints.h"

#include <QGuiApplication>
#include <QWidget>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Qt answers for X11 only when built with xcb.
#if defined(TAM_HAVE_XCB) && QT_CONFIG(xcb)
#define TAM_FRAME_HINTS 1
#include <xcb/xcb.h>
#endif

namespace tam {

#ifdef TAM_FRAME_HINTS
namespace {

// The Motif window manager hints: flags, functions, decorations, input
// mode, status.
constexpr std::uint32_t kHasFunctions = 1, kHasDecorations = 2;
constexpr std::uint32_t kMove = 4, kMinimize = 8, kClose = 32;
constexpr std::uint32_t kBorder = 2, kTitle = 8, kMenu = 16, kMinimizeButton = 32;

std::array<std::uint32_t, 5> HintsOf(Frame frame) {
  switch (frame) {
    case Frame::kCaptionOnly:
      return {kHasFunctions | kHasDecorations, kMove, kBorder | kTitle, 0, 0};
    case Frame::kCaptionMenuMinimize:
      break;
  }
  return {kHasFunctions | kHasDecorations, kMove | kMinimize | kClose,
          kBorder | kTitle | kMenu | kMinimizeButton, 0, 0};
}

}  // namespace

void RequestFrame(QWidget* window, Frame frame) {
  // Only the xcb platform's windows are X windows of this connection: the
  // offscreen platform may answer for X11 too, without one.
  if (QGuiApplication::platformName() != QLatin1String("xcb") ||
      !window->testAttribute(Qt::WA_WState_Created))
    return;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return;
  static constexpr char kName[] = "_MOTIF_WM_HINTS";
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, std::strlen(kName), kName), nullptr);
  if (!atom) return;
  const std::array<std::uint32_t, 5> hints = HintsOf(frame);
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()),
                      atom->atom, atom->atom, 32, hints.size(), hints.data());
  std::free(atom);
  xcb_flush(connection);
}
#else
void RequestFrame(QWidget*, Frame) {}
#endif

}  // namespace tam

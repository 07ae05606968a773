// SPDX-License-Identifier: MIT
// The application object's safety net: an error thrown from any event
// handler, outside the window's own dispatch, still reaches the hook.
#include "app/application.h"

#include <gtest/gtest.h>

#include <QEvent>

#include "app/Unit1.h"
#include "app_fakes.h"
#include "picture/error.h"
#include "support/testdata.h"

namespace tam {
namespace {

// An object whose event handler fails as told.
class Failing : public QObject {
 public:
  std::function<void()> fail;
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) fail();
    return QObject::event(event);
  }
};

class SafetyNet : public ::testing::Test {
 protected:
  SafetyNet() {
    form = std::make_unique<TForm1>(Seams{nullptr, messages, nullptr, clock, dir / "tamarind2"});
  }
  std::string Log() const {
    const auto bytes = tamtest::ReadBytes(dir / "tamarind2.log");
    return {bytes.begin(), bytes.end()};
  }

  tamtest::TempDir dir;
  std::shared_ptr<tamtest::FakeMessages> messages = std::make_shared<tamtest::FakeMessages>();
  std::shared_ptr<tamtest::FakeClock> clock = std::make_shared<tamtest::FakeClock>();
  std::unique_ptr<TForm1> form;
  Failing failing;
};

TEST_F(SafetyNet, ErrorFromAnyEventHandlerReachesTheHook) {
  failing.fail = [] { throw Error("縮小できません"); };
  QEvent sent(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&failing, &sent));
  // A posted event goes through the event loop and the same net.
  QCoreApplication::postEvent(&failing, new QEvent(QEvent::User));
  QCoreApplication::processEvents();
  ASSERT_EQ(messages->shown.size(), 2u);
  EXPECT_EQ(messages->shown[1].text, "縮小できません.");
  EXPECT_EQ(messages->shown[1].icon, MessageIcon::Critical);
  const std::string line = LogTimestamp(clock->now, QLocale::system()).toStdString() + ":縮小できません\r\n";
  EXPECT_EQ(Log(), line + line);
}

TEST_F(SafetyNet, SomethingThatIsNoExceptionIsReportedToo) {
  failing.fail = [] { throw 42; };
  QEvent sent(QEvent::User);
  QCoreApplication::sendEvent(&failing, &sent);
  ASSERT_EQ(messages->shown.size(), 1u);
  EXPECT_EQ(messages->shown[0].text, "不明なエラーが発生しました.");
}

TEST_F(SafetyNet, HookLeavesWithItsWindow) {
  auto other = std::make_shared<tamtest::FakeMessages>();
  {
    // A second window takes the hook over and gives it back when it goes.
    TForm1 second(Seams{nullptr, other, nullptr, clock, dir / "second"});
    failing.fail = [] { throw Error("x"); };
    QEvent sent(QEvent::User);
    QCoreApplication::sendEvent(&failing, &sent);
    EXPECT_EQ(other->shown.size(), 1u);
  }
  QEvent sent(QEvent::User);
  QCoreApplication::sendEvent(&failing, &sent);
  EXPECT_EQ(other->shown.size(), 1u);
  EXPECT_EQ(messages->shown.size(), 1u);
  form.reset();
  QCoreApplication::sendEvent(&failing, &sent);  // no hook now: a line on stderr
  EXPECT_EQ(messages->shown.size(), 1u);
}

}  // namespace
}  // namespace tam

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  tam::TamApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

#include "platform/system/modal_alert.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

class ModalAlertTest : public ::testing::Test {
 protected:
  void TearDown() override { ModalAlert::setPresenter(nullptr); }
};

TEST_F(ModalAlertTest, WithoutPresenterThereIsNoAnswer) {
  ModalAlert alert;
  alert.addButtonWithTitle("Send");
  EXPECT_FALSE(ModalAlert::hasPresenter());
  EXPECT_EQ(alert.runModal(), std::nullopt);
}

TEST_F(ModalAlertTest, PresenterSeesTextsAndButtonsInOrderAndAnswers) {
  ModalAlert seen;
  int calls = 0;
  ModalAlert::setPresenter([&](const ModalAlert& alert) -> std::optional<std::size_t> {
    ++calls;
    seen = alert;
    return 1;
  });
  ModalAlert alert;
  alert.setMessageText("Title");
  alert.setInformativeText("Message");
  EXPECT_EQ(alert.addButtonWithTitle("Send"), 0u);
  EXPECT_EQ(alert.addButtonWithTitle("Always Send"), 1u);
  EXPECT_EQ(alert.addButtonWithTitle("Don't Send"), 2u);
  EXPECT_EQ(alert.runModal(), std::optional<std::size_t>(1));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen.messageText(), "Title");
  EXPECT_EQ(seen.informativeText(), "Message");
  EXPECT_EQ(seen.buttonTitles(), (std::vector<std::string>{"Send", "Always Send", "Don't Send"}));
}

TEST_F(ModalAlertTest, AnswerOutsideTheButtonsIsNoAnswer) {
  ModalAlert::setPresenter([](const ModalAlert&) -> std::optional<std::size_t> { return 2; });
  ModalAlert alert;
  alert.addButtonWithTitle("Send");
  alert.addButtonWithTitle("Don't Send");
  EXPECT_EQ(alert.runModal(), std::nullopt);
  ModalAlert::setPresenter(
      [](const ModalAlert&) -> std::optional<std::size_t> { return std::nullopt; });
  EXPECT_EQ(alert.runModal(), std::nullopt);
}

TEST_F(ModalAlertTest, SetPresenterReturnsThePreviousOne) {
  EXPECT_FALSE(
      ModalAlert::setPresenter([](const ModalAlert&) { return std::optional<std::size_t>(0); }));
  EXPECT_TRUE(ModalAlert::hasPresenter());
  EXPECT_TRUE(ModalAlert::setPresenter(nullptr));
  EXPECT_FALSE(ModalAlert::hasPresenter());
}

}  // namespace
}  // namespace platform

#include "client/ui/modal_alert_presenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <thread>

#include "ui_test_support.h"

using namespace client::ui;

namespace {

platform::ModalAlert sendPrompt() {
  platform::ModalAlert alert;
  alert.setMessageText("Unable to submit report");
  alert.setInformativeText("Send a crash report?");
  alert.addButtonWithTitle("Send");
  alert.addButtonWithTitle("Always Send");
  alert.addButtonWithTitle("Don't Send");
  return alert;
}

// Once the box is up, hands it to `act`.
void whenShown(const std::function<void(QMessageBox*)>& act) {
  QTimer::singleShot(0, [act] {
    QTRY_VERIFY(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr);
    act(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
  });
}

}  // namespace

class ModalAlertPresenterTest : public QObject {
  Q_OBJECT
 private slots:
  void answersThePressedButtonInTheAlertsOrder() {
    QString text, informative;
    QStringList titles;
    whenShown([&](QMessageBox* box) {
      text = box->text();
      informative = box->informativeText();
      for (QAbstractButton* button : box->buttons()) titles << button->text();
      for (QAbstractButton* button : box->buttons()) {
        if (button->text() == "Always Send") button->click();
      }
    });
    QCOMPARE(presentModalAlert(sendPrompt()), std::optional<std::size_t>(1));
    QCOMPARE(text, QString("Unable to submit report"));
    QCOMPARE(informative, QString("Send a crash report?"));
    titles.sort();
    QCOMPARE(titles, QStringList({"Always Send", "Don't Send", "Send"}));
  }

  void theFirstButtonIsTheDefault() {
    whenShown([](QMessageBox* box) {
      QCOMPARE(box->defaultButton()->text(), QString("Send"));
      box->defaultButton()->click();
    });
    QCOMPARE(presentModalAlert(sendPrompt()), std::optional<std::size_t>(0));
  }

  void closedWithoutAButtonIsNoAnswer() {
    whenShown([](QMessageBox* box) { box->reject(); });
    QVERIFY(!presentModalAlert(sendPrompt()).has_value());
  }

  void offTheQtThreadNothingIsShown() {
    std::optional<std::size_t> answer = 7;
    std::thread([&] { answer = presentModalAlert(sendPrompt()); }).join();
    QVERIFY(!answer.has_value());
  }

  void installedAsThePresenterOfPlatformAlerts() {
    auto previous = platform::ModalAlert::setPresenter(nullptr);
    installModalAlertPresenter();
    QVERIFY(platform::ModalAlert::hasPresenter());
    whenShown([](QMessageBox* box) { box->buttons().front()->click(); });
    QVERIFY(sendPrompt().runModal().has_value());
    platform::ModalAlert::setPresenter(previous);
  }
};

VARNEL_UI_TEST_MAIN(ModalAlertPresenterTest)
#include "modal_alert_presenter_test.moc"

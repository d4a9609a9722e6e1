#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

#include "client/ui/animated_text_field.h"
#include "client/ui/async_worker.h"
#include "client/ui/hud_window.h"
#include "client/ui/link_text_fields.h"
#include "client/ui/no_hit_views.h"
#include "client/ui/single_instance.h"
#include "client/ui/srgb_color.h"
#include "client/ui/varnel_stack.h"
#include "ui_test_support.h"

using namespace client::ui;
using varnel::testing::waitFor;

class SmallViewsTest : public QObject {
  Q_OBJECT
 private slots:
  void stackPopsMostRecentAndNulloptWhenEmpty() {
    VarnelStack<int> stack;
    QVERIFY(!stack.pop().has_value());
    stack.push(1);
    stack.push(2);
    QCOMPARE(*stack.pop(), 2);
    stack.clear();
    QVERIFY(!stack.pop().has_value());
  }

  void sameTextStartsNoFade() {
    QLabel label("A");
    QVERIFY(!setAnimatedStringValue(&label, "A", 0.01));
    QVERIFY(setAnimatedStringValue(&label, "B", 0.01));
    QVERIFY(waitFor([&] { return label.text() == "B"; }));
  }

  void queuedChangesReplayMostRecentFirst() {
    NSTextFieldAQueue field;
    QStringList shown;
    field.setText("start");
    field.setAnimatedStringValue("A", 0.02);
    field.setAnimatedStringValue("B", 0.02);
    field.setAnimatedStringValue("C", 0.02);
    QVERIFY(field.isAnimating());
    QCOMPARE(field.queue().count(), 2u);
    QString last = field.text();
    QVERIFY(waitFor([&] {
      if (field.text() != last) {
        last = field.text();
        shown << last;
      }
      return !field.isAnimating() && field.queue().empty();
    }));
    QCOMPARE(shown, QStringList({"A", "C", "B"}));
  }

  void fieldWithoutFadesChangesAtOnceWithoutQueue() {
    NSTextFieldAQueue field;
    field.setFadesChanges(false);
    field.setAnimatedStringValue("A", 1);
    field.setAnimatedStringValue("B", 1);
    QCOMPARE(field.text(), QString("B"));
    QVERIFY(!field.isAnimating());
    QVERIFY(field.queue().empty());
  }

  void passThroughViewsTakeNoClicks() {
    NSTextFieldAQueue queueField;
    VRNoHitTextField text;
    VRNoHitButton button;
    QVERIFY(queueField.testAttribute(Qt::WA_TransparentForMouseEvents));
    QVERIFY(text.testAttribute(Qt::WA_TransparentForMouseEvents));
    QVERIFY(button.testAttribute(Qt::WA_TransparentForMouseEvents));
  }

  void mouseoverChangesColourAndClickSendsAction() {
    NSTextMouseoverView view;
    view.setText("Forgot password?");
    QSignalSpy clicks(&view, &MoreInfoText::clicked);
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QApplication::sendEvent(&view, &enter);
    QCOMPARE(view.textColor(), NSTextMouseoverView::hoverColor());
    QCOMPARE(view.cursor().shape(), Qt::PointingHandCursor);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&view, &leave);
    QCOMPARE(view.textColor(), NSTextMouseoverView::normalColor());
    QCOMPARE(view.cursor().shape(), Qt::ArrowCursor);
    QTest::mouseClick(&view, Qt::LeftButton);
    QCOMPARE(clicks.count(), 1);
    QCOMPARE(view.focusPolicy(), Qt::StrongFocus);
  }

  void srgbColourClampsComponents() {
    QColor c = colorWithSRGB(0.5, 2.0, -1.0, 1.0);
    QCOMPARE(c.greenF(), 1.0f);
    QCOMPARE(c.blueF(), 0.0f);
    QVERIFY(qAbs(c.redF() - 0.5f) < 0.01f);
  }

  void asyncWorkerCompletesOnMainThread() {
    bool onMain = false;
    int result = 0;
    AsyncWorker::runInBackground<int>([] { return 42; },
                                      [&](int value) {
                                        result = value;
                                        onMain = QThread::currentThread() == qApp->thread();
                                      });
    QVERIFY(waitFor([&] { return result == 42; }));
    QVERIFY(onMain);
  }

  void hudRedrawsOnResizeAndTitle() {
    HUDWindow hud;
    hud.setFrame(QRect(10, 10, 200, 120), true, false);
    QCOMPARE(hud.backgroundImage().size(), QSize(200, 120));
    QVERIFY(!hud.forceDisplay());
    QImage before = hud.backgroundImage();
    hud.setTitle("Status");
    QVERIFY(hud.backgroundImage() != before);
    hud.setFrame(QRect(10, 10, 300, 150), true, false);
    QCOMPARE(hud.backgroundImage().size(), QSize(300, 150));
    // Body and title-bar colours below and inside the title bar; corners clear.
    QColor body = hud.backgroundImage().pixelColor(150, 100);
    QColor bar = hud.backgroundImage().pixelColor(5, 10);
    QVERIFY(body.alpha() > 150 && body.red() < 40);
    QVERIFY(bar.red() > body.red());
    QCOMPARE(hud.backgroundImage().pixelColor(0, 149).alpha(), 0);
    QCOMPARE(hud.backgroundImage().pixelColor(299, 0).alpha(), 0);
  }

  void hudNeverKeyAndCloseButtonHides() {
    HUDWindow hud;
    hud.resize(120, 80);
    hud.show();
    QVERIFY(!hud.canBecomeKeyWindow());
    QVERIFY(hud.windowFlags() & Qt::WindowDoesNotAcceptFocus);
    QCOMPARE(hud.closeButton()->geometry(), QRect(3, 3, 13, 13));
    hud.closeButton()->click();
    QVERIFY(!hud.isVisible());
    hud.show();
    QVERIFY(hud.isVisible());
  }
  void secondStartAsksTheFirstAndEnds() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    auto first = std::make_unique<SingleInstance>(folder.path().toStdString());
    QSignalSpy asked(first.get(), &SingleInstance::activationRequested);
    QVERIFY(first->claim());
    // The second start runs elsewhere (its own process in real life): it
    // waits for the first one's answer, which comes from this loop.
    std::atomic<int> second{-1};
    std::thread other([&] {
      SingleInstance again(folder.path().toStdString());
      second = again.claim(5.0) ? 1 : 0;
    });
    QVERIFY(waitFor([&] { return second.load() != -1; }));
    other.join();
    QCOMPARE(second.load(), 0);
    QCOMPARE(asked.count(), 1);
    // The lock goes with its holder: the next start is the client again.
    first.reset();
    SingleInstance next(folder.path().toStdString());
    QVERIFY(next.claim());
  }
};

VARNEL_UI_TEST_MAIN(SmallViewsTest)
#include "small_views_test.moc"

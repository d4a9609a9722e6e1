#include "client/ui/window_report.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui_test_support.h"

using varnel::testing::waitFor;

// The report the GUI end-to-end test reads: what Qt knows of the shown
// windows, asked for and answered through files.
class WindowReportTest : public QObject {
  Q_OBJECT
 private:
  static QStringList linesOf(const QString& report, const QString& kind) {
    QStringList found;
    for (const QString& line : report.split('\n')) {
      if (line.startsWith(kind + '\t')) found << line;
    }
    return found;
  }

 private slots:
  void reportsWindowsControlsCellsAndCutTexts() {
    QWidget window;
    window.setObjectName("someWindow");
    window.setWindowTitle("A window");
    auto* layout = new QVBoxLayout(&window);
    auto* bar = new QMenuBar(&window);
    auto* menu = bar->addMenu("Things");
    menu->setObjectName("thingsMenu");
    layout->setMenuBar(bar);
    auto* button = new QPushButton("Press\tme", &window);
    button->setObjectName("pressButton");
    button->setEnabled(false);
    layout->addWidget(button);
    auto* secret = new QLineEdit(&window);
    secret->setObjectName("passwordField");
    secret->setText("hunter2");
    layout->addWidget(secret);
    auto* combo = new QComboBox(&window);
    combo->setObjectName("typeCombo");
    combo->addItems({"First", "Second"});
    combo->setCurrentIndex(1);
    layout->addWidget(combo);
    auto* tools = new QToolBar(&window);
    QAction* action = tools->addAction("Tool");
    action->setObjectName("toolAction");
    layout->addWidget(tools);
    auto* table = new QTableWidget(2, 2, &window);
    table->setObjectName("someTable");
    table->setItem(1, 0, new QTableWidgetItem("cell text"));
    layout->addWidget(table);
    auto* narrow = new QLabel("Two lines\nof text, narrow", &window);
    narrow->setObjectName("narrowLabel");
    narrow->setFixedWidth(20);
    layout->addWidget(narrow);
    auto* hidden = new QLabel("never shown", &window);
    hidden->setObjectName("hiddenLabel");
    hidden->hide();
    window.resize(600, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    const QString report = client::ui::windowReport("7");
    QVERIFY2(report.startsWith("request\t7\n"), qPrintable(report));
    QVERIFY(report.endsWith("end\n"));
    const QString id = QString::number(window.windowHandle()->winId());
    const QStringList windows = linesOf(report, "window");
    QCOMPARE(windows.size(), 1);
    const QStringList fields = windows.first().split('\t');
    QCOMPARE(fields.size(), 10);
    QCOMPARE(fields[1], id);
    QCOMPARE(fields[8], QString("someWindow"));
    QCOMPARE(fields[9], QString("A window"));
    QVERIFY(fields[3].toInt() > 0);  // the title's room

    const QStringList items = linesOf(report, "item");
    auto item = [&](const QString& name) {
      for (const QString& line : items) {
        const QStringList f = line.split('\t');
        if (f.value(2) == name) return f;
      }
      return QStringList();
    };
    // Tabs inside texts do not split fields; a disabled control says so.
    QCOMPARE(item("pressButton").mid(7), QStringList({"0", "Press me"}));
    QCOMPARE(item("pressButton").value(1), id);
    // Where it is on the screen, in device pixels.
    const QPoint at = button->mapToGlobal(QPoint(0, 0));
    QCOMPARE(item("pressButton").mid(3, 4),
             QStringList({QString::number(at.x()), QString::number(at.y()),
                          QString::number(button->width()), QString::number(button->height())}));
    QCOMPARE(item("passwordField").value(8), QString());
    QVERIFY(!report.contains("hunter2"));
    QCOMPARE(item("typeCombo").value(8), QString("Second"));
    QCOMPARE(item("toolAction").value(8), QString("Tool"));
    QCOMPARE(item("thingsMenu").value(8), QString("Things"));
    QCOMPARE(item("narrowLabel").value(8), QString("Two lines\\nof text, narrow"));
    QVERIFY(item("hiddenLabel").isEmpty());

    const QStringList cells = linesOf(report, "cell");
    QCOMPARE(cells.size(), 1);
    QCOMPARE(cells.first().split('\t').mid(1, 4), QStringList({id, "someTable", "1", "0"}));
    QCOMPARE(cells.first().split('\t').value(9), QString("cell text"));

    const QStringList cut = linesOf(report, "cut");
    QCOMPARE(cut.size(), 1);
    QVERIFY2(cut.first().startsWith("cut\t" + id + "\tnarrowLabel: "), qPrintable(cut.first()));

    // A fade in progress: the window is not settled yet.
    QVERIFY(linesOf(report, "animating").isEmpty());
    auto* fade = new QPropertyAnimation(button, "minimumWidth", button);
    fade->setDuration(60000);
    fade->setStartValue(10);
    fade->setEndValue(20);
    fade->start();
    QCOMPARE(linesOf(client::ui::windowReport("8"), "animating"),
             QStringList({"animating\t" + id + "\t1"}));
    fade->stop();
    QVERIFY(linesOf(client::ui::windowReport("9"), "animating").isEmpty());
  }

  void answersEachRequestThroughTheFolder() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QVERIFY(!client::ui::installWindowReport(folder.filePath("missing")));
    // A request made before the hook starts is answered at once.
    auto request = [&](const QString& tag) {
      QFile file(folder.filePath("request.tmp"));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(tag.toUtf8() + "\n");
      file.close();
      QVERIFY(QFile::rename(file.fileName(), folder.filePath("request")));
    };
    auto answered = [&](const QString& tag) {
      QFile report(folder.filePath("report"));
      return !QFile::exists(folder.filePath("request")) && report.open(QIODevice::ReadOnly) &&
             report.readLine() == "request\t" + tag.toUtf8() + "\n";
    };
    request("1");
    QVERIFY(client::ui::installWindowReport(folder.path()));
    QVERIFY(answered("1"));
    // The owner's alone.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ReadOther | QFileDevice::WriteOther;
    QCOMPARE(QFile::permissions(folder.filePath("report")) & others, QFileDevice::Permissions());
    QWidget window;
    window.setObjectName("lateWindow");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    request("2");
    QVERIFY(waitFor([&] { return answered("2"); }));
    QFile report(folder.filePath("report"));
    QVERIFY(report.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains("\tlateWindow\t"));
    // Nothing but the report is left behind.
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList({"report"}));
  }
};

VARNEL_UI_TEST_MAIN(WindowReportTest)
#include "window_report_test.moc"

#include "client/ui/eula_window_controller.h"

#include <QFile>
#include <QStringDecoder>
#include <QVBoxLayout>

#include "platform/system/bundle.h"

namespace client::ui {

EULAWindowController::EULAWindowController(QWidget* parent,
                                           std::shared_ptr<const platform::Bundle> bundle)
    : QWidget(parent, Qt::Window), bundle_(bundle ? std::move(bundle) : platform::Bundle::main()) {
  setObjectName("EULAWindowController");
  setWindowTitle("License agreement");
  eulaTextView_ = new QPlainTextEdit(this);
  eulaTextView_->setObjectName("eulaTextView");
  eulaTextView_->setReadOnly(true);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(eulaTextView_);
  resize(520, 420);
  windowDidLoad();
}

void EULAWindowController::windowDidLoad() {
  std::string path = bundle_->pathForResource("eula", "txt");
  if (path.empty()) return;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return;
  QByteArray bytes = file.readAll();
  QStringDecoder decoder(QStringDecoder::Utf8);
  QString text = decoder(bytes);
  if (decoder.hasError()) return;
  eulaTextView_->setPlainText(text);
}

}  // namespace client::ui

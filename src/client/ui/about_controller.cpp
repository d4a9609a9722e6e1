#include "client/ui/about_controller.h"

#include <QCloseEvent>
#include <QUrl>
#include <QVBoxLayout>

#include "client/ui/images.h"
#include "client/ui/workspace.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"

namespace client::ui {

AboutController::AboutController(QWidget* parent, std::shared_ptr<const platform::Bundle> bundle)
    : QWidget(parent), bundle_(bundle ? std::move(bundle) : platform::Bundle::main()) {
  setObjectName("AboutView");
  auto* icon = new QLabel(this);
  icon->setPixmap(imageNamed("Status Bar Connected", 64, devicePixelRatioF()));
  icon->setAlignment(Qt::AlignCenter);
  auto* name = new QLabel("VarnelVPN Client", this);
  name->setAlignment(Qt::AlignCenter);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  versionNum_ = new QLabel(this);
  versionNum_->setObjectName("versionNum");
  versionNum_->setAlignment(Qt::AlignCenter);
  acknowledgementsButton_ = new QPushButton("Acknowledgements", this);
  acknowledgementsButton_->setObjectName("acknowledgementsButton");
  connect(acknowledgementsButton_, &QPushButton::clicked, this,
          &AboutController::RunAcknowledgement);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(icon);
  layout->addWidget(name);
  layout->addWidget(versionNum_);
  layout->addStretch(1);
  layout->addWidget(acknowledgementsButton_);

  // loadView
  // The version people read ("1.2.0"), as the update check names versions.
  const std::string shortVersion = bundle_->shortVersion();
  versionNum_->setText(versionText(shortVersion.empty() ? bundle_->version() : shortVersion));
}

QString AboutController::versionText(const std::string& version) {
  return QString::fromStdString(platform::format("Version %@", version));
}

void AboutController::RunAcknowledgement() {
  std::string path = bundle_->pathForResource("acknowledgements", "rtf");
  if (path.empty()) {
    Workspace::tellCannotOpen("The acknowledgements",
                              "The acknowledgements file is missing from this installation.", this);
    return;
  }
  Workspace::openURLOrTell(QUrl::fromLocalFile(QString::fromStdString(path)),
                           "The acknowledgements", this);
}

void AboutController::becomeDelegateOf(QWidget* window) {
  if (window != nullptr) window->installEventFilter(this);
}

bool AboutController::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && watched->isWidgetType()) {
    // Hidden, not closed: hiding also ends its modal run.
    event->ignore();
    static_cast<QWidget*>(watched)->hide();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace client::ui

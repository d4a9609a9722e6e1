#include "client/core/login_flow.h"

#include "client/Singletons/varnel_log.h"
#include "client/core/account_manager.h"
#include "client/core/app_startup.h"
#include "client/core/helper_installer.h"
#include "codecs/keychain_store.h"
#include "platform/foundation/format.h"

namespace client {

namespace {

// The length the window's text field reports: UTF-16 code units.
std::size_t utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte
    units += c >= 0xF0 ? 2 : 1;        // four-byte sequences need a surrogate pair
  }
  return units;
}

class AccountManagerLoginServices : public LoginServices {
 public:
  AccountManagerLoginServices(std::shared_ptr<VRAccountManager> manager,
                              std::function<bool()> installHelper)
      : manager_(std::move(manager)), installHelper_(std::move(installHelper)) {}

  std::optional<std::string> storedAPIKey() override { return loadStoredAPIKey(); }
  void storeAPIKey(const std::string& key) override { saveStoredAPIKey(key); }
  void probeBaseURL(std::function<void()> completion) override {
    BaseURLProbe::run(manager_->client(), std::move(completion));
  }
  void login(const std::string& email, const std::string& password,
             std::function<void(const platform::Value&)> completion) override {
    manager_->loginWithUsername(email, password, std::move(completion));
  }
  std::string accountAPIKey() override {
    auto info = manager_->accountInfo();
    if (!info || !info->key().isString()) return {};
    return info->key().asString();
  }
  HelperInstallation installHelper() override {
    HelperInstallation result;
    if (installHelper_) {
      result.installed = installHelper_();
      return result;
    }
    CodesigningUtilities utilities;
    result.installed = utilities.installHelperWithLabel(kHelperLabel);
    result.failure = utilities.failureMessage();
    return result;
  }

 private:
  std::shared_ptr<VRAccountManager> manager_;
  std::function<bool()> installHelper_;
};

}  // namespace

std::optional<std::string> loadStoredAPIKey() {
  platform::Error error;
  auto key = codecs::KeychainStore::passwordForService(std::string(kAPIKeychainService),
                                                       std::string(kAPIKeychainAccount), &error);
  if (error || !key) return std::nullopt;
  return key;
}

void saveStoredAPIKey(const std::string& key) {
  codecs::KeychainStore::setPassword(key, std::string(kAPIKeychainService),
                                     std::string(kAPIKeychainAccount));
}

std::shared_ptr<LoginServices> makeLoginServices(std::shared_ptr<VRAccountManager> manager,
                                                 std::function<bool()> installHelper) {
  if (!manager) return nullptr;
  return std::make_shared<AccountManagerLoginServices>(std::move(manager),
                                                       std::move(installHelper));
}

std::shared_ptr<LoginFlow> LoginFlow::create(std::shared_ptr<LoginServices> services,
                                             std::weak_ptr<LoginView> view) {
  return std::shared_ptr<LoginFlow>(new LoginFlow(std::move(services), std::move(view)));
}

LoginFlow::LoginFlow(std::shared_ptr<LoginServices> services, std::weak_ptr<LoginView> view)
    : services_(std::move(services)), view_(std::move(view)) {}

void LoginFlow::startAutomaticLogin() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (!services_) return;
  if (auto key = services_->storedAPIKey()) {
    withView([&](LoginView& v) { v.setPasswordText(*key); });
    startLoginAction();
  }
}

void LoginFlow::startLoginAction() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  auto view = view_.lock();
  if (!view) return;
  const std::string email = view->emailText();
  const std::string password = view->passwordText();
  if (email.empty() && utf16Length(password) != static_cast<std::size_t>(kAPIKeyLength)) {
    view->focusEmailField();
    return;
  }
  if (password.empty()) {
    view->focusPasswordField();
    return;
  }
  if (!services_) return;
  running_ = true;
  view->setEntriesEnabled(false);
  view->setIndicatorVisible(true);
  view->setProgressText(kCheckingMirrorsText);

  // The callbacks hold the flow weakly and the services not at all: a
  // service that keeps a completion must not keep itself alive through it.
  std::weak_ptr<LoginFlow> weak = weak_from_this();
  services_->probeBaseURL([weak] {
    auto self = weak.lock();
    if (!self || !self->services_) return;
    auto current = self->view_.lock();
    if (!current) return;
    current->setProgressText(kAuthenticatingText);
    // The entries as they are now: the fields stay locked meanwhile.
    self->services_->login(current->emailText(), current->passwordText(),
                           [weak](const platform::Value& reply) {
                             if (auto flow = weak.lock()) flow->loginAnswered(reply);
                           });
  });
}

void LoginFlow::loginAnswered(const platform::Value& reply) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (reply.isDictionary() && reply.contains("error")) {
    const platform::Value error = reply["error"];
    const std::string text = error.isString() ? error.asString() : error.description();
    // Only the service's own words are its report.
    fireError(text, !VRAccountManager::isLocalLoginFailure(text));
    return;
  }
  if (!reply.isDictionary()) {
    fireError(kLoginNoAnswerText, false);
    return;
  }
  withView([](LoginView& v) { v.loginDidSucceed(); });
  changeToDialer();
}

void LoginFlow::fireError(const std::string& text, bool fromService) {
  VarnelLog::sharedInstance().AddToLog(platform::format(
      fromService ? "Log-in refused by the service: %@" : "Log-in failed: %@", text));
  withView([&](LoginView& v) {
    v.setIndicatorVisible(false);
    v.setProgressText("");
    v.showLoginError(
        platform::format(fromService ? kLoginErrorFormat : kLocalLoginErrorFormat, text));
  });
}

void LoginFlow::clearLock() {
  running_ = false;
  withView([](LoginView& v) {
    v.setEntriesEnabled(true);
    v.setIndicatorVisible(false);
    v.setProgressText("");
  });
}

void LoginFlow::changeToDialer() {
  withView([](LoginView& v) { v.hideLoginWindow(); });
  if (!services_) return;
  const std::string key = services_->accountAPIKey();
  if (!key.empty()) services_->storeAPIKey(key);
  const LoginServices::HelperInstallation installation = services_->installHelper();
  if (!installation.installed) {
    const std::string reason =
        installation.failure.empty() ? kHelperFailureDefaultReason : installation.failure;
    withView([&](LoginView& v) { v.showHelperFailure(kHelperFailureMessage, reason); });
    return;
  }
  running_ = false;
  withView([](LoginView& v) { v.openDialer(); });
}

void LoginFlow::helperFailureDismissed() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  withView([](LoginView& v) { v.terminateApplication(); });
}

}  // namespace client

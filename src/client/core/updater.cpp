#include "client/core/updater.h"

#include <cctype>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/system/bundle.h"
#include "platform/system/user_defaults.h"
#include "platform/urlloading/url_connection.h"

namespace client {

namespace {

std::shared_ptr<VRUpdater>& sharedSlot() {
  static std::shared_ptr<VRUpdater> slot;
  return slot;
}

platform::Error updaterError(std::int64_t code, const std::string& text) {
  platform::Value info = platform::Value::mutableDictionary();
  info.set(platform::kLocalizedDescriptionKey, platform::Value(text));
  return platform::Error(kUpdaterErrorDomain, code, info);
}

// Collects the feed on the network thread and hands it to the main queue.
class FeedFetch : public platform::urlloading::URLConnectionDelegate {
 public:
  using Done = std::function<void(long status, std::string body, platform::Error error)>;
  explicit FeedFetch(Done done) : done_(std::move(done)) {}
  void connectionDidReceiveResponse(platform::urlloading::URLConnection&,
                                    const platform::urlloading::URLResponse& r) override {
    status_ = r.statusCode();
  }
  void connectionDidReceiveData(platform::urlloading::URLConnection&, const std::uint8_t* bytes,
                                std::size_t length) override {
    // The request's limit keeps the body within kUpdateFeedMaximumLength.
    body_.append(reinterpret_cast<const char*>(bytes), length);
  }
  void connectionDidFinishLoading(platform::urlloading::URLConnection&) override {
    deliver(platform::Error());
  }
  void connectionDidFailWithError(platform::urlloading::URLConnection&,
                                  const platform::Error& error) override {
    deliver(error);
  }

 private:
  void deliver(platform::Error error) {
    platform::dispatch::Queue::main()->async(
        [done = done_, status = status_, body = body_, error] { done(status, body, error); });
  }
  Done done_;
  long status_ = 0;
  std::string body_;
};

}  // namespace

std::shared_ptr<VRUpdater> VRUpdater::sharedUpdater() {
  std::shared_ptr<VRUpdater>& slot = sharedSlot();
  if (!slot) slot = create();
  return slot;
}

std::shared_ptr<VRUpdater> VRUpdater::create(platform::BundlePtr bundle) {
  return std::shared_ptr<VRUpdater>(
      new VRUpdater(bundle ? std::move(bundle) : platform::Bundle::main()));
}

void VRUpdater::resetSharedUpdaterForTesting() {
  if (sharedSlot() && sharedSlot()->timer_) sharedSlot()->timer_->invalidate();
  sharedSlot().reset();
}

void VRUpdater::setFeedURL(platform::URL url) { feedURL_ = std::move(url); }

bool VRUpdater::automaticallyChecksForUpdates() const {
  platform::Value v =
      platform::UserDefaults::standardUserDefaults()->objectForKey(kAutomaticUpdateChecksKey);
  return v.isNone() ? true : v.asBool();
}

void VRUpdater::setAutomaticallyChecksForUpdates(bool on) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  platform::UserDefaults::standardUserDefaults()->setObject(platform::Value(on),
                                                            kAutomaticUpdateChecksKey);
}

void VRUpdater::startAutomaticChecks(double intervalSeconds) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  if (timer_) timer_->invalidate();
  timer_.reset();
  if (!automaticallyChecksForUpdates()) return;
  std::weak_ptr<VRUpdater> weak = weak_from_this();
  timer_ =
      platform::runloop::Timer::create(intervalSeconds, true, [weak](platform::runloop::Timer&) {
        auto self = weak.lock();
        if (self && self->automaticallyChecksForUpdates() && self->feedURL_)
          self->checkForUpdates([](const UpdateCheckResult&) {});
      });
  platform::runloop::RunLoop::main().addTimer(timer_, platform::runloop::kCommonModes);
}

void VRUpdater::checkForUpdates(Completion completion) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  waiting_.push_back(std::move(completion));
  if (waiting_.size() > 1) return;  // joins the running check
  if (!feedURL_ || !feedURL_->isValid()) {
    std::weak_ptr<VRUpdater> weak = weak_from_this();
    platform::dispatch::Queue::main()->async([weak] {
      if (auto self = weak.lock()) {
        UpdateCheckResult result;
        result.error = updaterError(1, "No update feed is set.");
        self->finish(result);
      }
    });
    return;
  }
  std::weak_ptr<VRUpdater> weak = weak_from_this();
  auto delegate = std::make_shared<FeedFetch>([weak](long status, const std::string& body,
                                                     const platform::Error& error) {
    auto self = weak.lock();
    if (!self) return;
    UpdateCheckResult result;
    if (error) {
      result.error = error;
    } else if (status != 200) {
      result.error =
          updaterError(2, "The update feed answered with status " + std::to_string(status) + ".");
    } else {
      const FeedVersion latest = latestInFeed(body);
      // The version people read ("1.2.0") is compared with the program's;
      // a build number only with the program's build number.
      const platform::BundlePtr& bundle = self->bundle_;
      std::string running;
      if (!latest.shortVersion.empty()) {
        result.latestVersion = latest.shortVersion;
        running = bundle->shortVersion();
      } else {
        result.latestVersion = latest.version;
        running = bundle->version();
      }
      if (result.latestVersion.empty()) {
        result.error = updaterError(3, "The update feed offers no version.");
      } else {
        result.updateAvailable =
            !running.empty() && compareVersions(result.latestVersion, running) > 0;
      }
    }
    self->finish(result);
  });
  platform::urlloading::URLRequest request(*feedURL_, 30.0);
  request.setMaximumResponseLength(kUpdateFeedMaximumLength);
  request.setMaximumDuration(kUpdateFeedMaximumDuration);
  auto connection = platform::urlloading::URLConnection::create(request, delegate);
  connection_ = connection;
  connection->start();
}

void VRUpdater::finish(const UpdateCheckResult& result) {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  connection_.reset();
  std::vector<Completion> waiting;
  waiting.swap(waiting_);
  for (Completion& c : waiting) c(result);
}

namespace {
// The value of the attribute `name` (or "<prefix>:name") of one tag; "" when
// it has none.
std::string attributeValue(const std::string& tag, const std::string& name) {
  for (std::size_t v = tag.find(name); v != std::string::npos; v = tag.find(name, v + 1)) {
    const char before = v > 0 ? tag[v - 1] : ' ';
    if (before != ':' && before != ' ' && before != '\t' && before != '\n') continue;
    std::size_t p = v + name.size();
    while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p]))) ++p;
    if (p >= tag.size() || tag[p] != '=') continue;
    ++p;
    while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p]))) ++p;
    if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) continue;
    const char quote = tag[p];
    const std::size_t endQuote = tag.find(quote, p + 1);
    if (endQuote == std::string::npos) return std::string();
    return tag.substr(p + 1, endQuote - p - 1);
  }
  return std::string();
}
}  // namespace

VRUpdater::FeedVersion VRUpdater::latestInFeed(const std::string& feed) {
  FeedVersion best;
  for (std::size_t at = feed.find("<enclosure"); at != std::string::npos;
       at = feed.find("<enclosure", at + 1)) {
    const std::size_t close = feed.find('>', at);
    if (close == std::string::npos) break;
    const std::string tag = feed.substr(at, close - at);
    FeedVersion candidate{attributeValue(tag, "version"),
                          attributeValue(tag, "shortVersionString")};
    if (candidate.version.empty() && candidate.shortVersion.empty()) continue;
    // Build numbers decide where both have one; else the displayed versions.
    const bool newer = best.version.empty() && best.shortVersion.empty()
                           ? true
                           : (!candidate.version.empty() && !best.version.empty()
                                  ? compareVersions(candidate.version, best.version) > 0
                                  : compareVersions(candidate.shortVersion, best.shortVersion) > 0);
    if (newer) best = candidate;
  }
  return best;
}

std::string VRUpdater::latestVersionInFeed(const std::string& feed) {
  return latestInFeed(feed).version;
}

int VRUpdater::compareVersions(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    unsigned long long x = 0, y = 0;
    while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])))
      x = x * 10 + static_cast<unsigned>(a[i++] - '0');
    while (j < b.size() && std::isdigit(static_cast<unsigned char>(b[j])))
      y = y * 10 + static_cast<unsigned>(b[j++] - '0');
    if (x != y) return x < y ? -1 : 1;
    // Skip one separator (or any other character) on each side.
    if (i < a.size()) ++i;
    if (j < b.size()) ++j;
  }
  return 0;
}

}  // namespace client

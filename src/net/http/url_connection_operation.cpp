#include "net/http/url_connection_operation.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "net/http/url_connection_operation_batching.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/notification_center.h"

namespace net::http {

using platform::Error;
using platform::Value;
using platform::urlloading::NetworkThread;
using url_connection_batching::flushStartNotifications;
using url_connection_batching::postStartNotification;
using url_connection_batching::tFinishedInBatch;

namespace {

std::optional<std::string> decodeText(const platform::Bytes& bytes, const NKTextEncoding& enc) {
  std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (enc.encoding == platform::StringEncoding::Other) {
    return platform::decodeString(view, enc.charsetName);
  }
  return platform::decodeString(view, enc.encoding);
}

Value errorToValue(const Error& e) {
  if (!e) return Value();
  return Value::dictionary({{"domain", Value(e.domain())},
                            {"code", Value(e.code())},
                            {"userInfo", e.userInfo() ? e.userInfo() : Value::dictionary()}});
}

Error outOfMemoryError() {
  return Error(platform::kPOSIXErrorDomain, ENOMEM,
               Value::dictionary({{platform::kLocalizedDescriptionKey,
                                   Value("There is not enough memory to take the response in.")}}));
}

Error errorFromValue(const Value& v) {
  if (!v.isDictionary()) return {};
  return Error(v["domain"].asString(), v["code"].asInt64(), v["userInfo"]);
}

}  // namespace

const NKOperationClass& NKURLConnectionOperation::operationClass() {
  static const NKOperationClass cls(
      "NKURLConnectionOperation", nullptr, [](URLRequest r) { return create(std::move(r)); },
      [](const URLRequest&) { return false; });
  return cls;
}

NKURLConnectionOperation::Ptr NKURLConnectionOperation::create(URLRequest request) {
  return std::make_shared<NKURLConnectionOperation>(std::move(request));
}

NKURLConnectionOperation::NKURLConnectionOperation(URLRequest request)
    : runLoopModes_{platform::runloop::kCommonModes}, request_(std::move(request)) {}

NKURLConnectionOperation::~NKURLConnectionOperation() {
  if (outputStream_) outputStream_->close();
}

// --- state -----------------------------------------------------------------

const char* NKURLConnectionOperation::keyPathForState(std::int16_t state) {
  switch (state) {
    case kPaused:
      return "isPaused";
    case kReady:
      return "isReady";
    case kExecuting:
      return "isExecuting";
    case kFinished:
      return "isFinished";
    default:
      return "state";
  }
}

bool NKURLConnectionOperation::stateTransitionIsValid(std::int16_t from, std::int16_t to,
                                                      bool cancelled) {
  switch (from) {
    case kReady:
      return to == kExecuting || to == kPaused || (to == kFinished && cancelled);
    case kExecuting:
      return to == kPaused || to == kFinished;
    case kFinished:
      return false;
    case kPaused:
      return to == kReady;
    default:
      return true;
  }
}

bool NKURLConnectionOperation::setState(std::int16_t state) {
  bool changed = false;
  transitionState([&](std::vector<std::string_view>& announce) {
    const std::int16_t old = state_.load();
    if (!stateTransitionIsValid(old, state, cancelled_)) return;
    state_ = state;
    changed = true;
    announce.push_back(keyPathForState(old));
    announce.push_back(keyPathForState(state));
  });
  return changed;
}

bool NKURLConnectionOperation::isReady() const {
  return state_ == kReady && platform::Operation::isReady();
}
bool NKURLConnectionOperation::isExecuting() const { return state_ == kExecuting; }
bool NKURLConnectionOperation::isFinished() const { return state_ == kFinished; }
bool NKURLConnectionOperation::isCancelled() const { return cancelled_; }
bool NKURLConnectionOperation::isPaused() const { return state_ == kPaused; }

bool NKURLConnectionOperation::takeStart(std::function<void()>& start) {
  // start() only sets the load going on the network thread: run it there.
  NetworkThread::shared().perform(std::move(start));
  return true;
}

void NKURLConnectionOperation::start() {
  const bool onNetworkThread = NetworkThread::shared().isCurrent();
  // Only one start wins the move from ready to executing.
  if (!isReady() || !setState(kExecuting)) return;
  std::uint64_t generation;
  {
    std::lock_guard lock(lock_);
    generation = ++startGeneration_;
  }
  // Queued before the load begins: the main queue keeps it ahead of
  // everything the load posts.
  startTicket_.store(postStartNotification(shared_from_this()));
  if (onNetworkThread) {
    operationDidStart(generation);
  } else {
    auto self = sharedSelf();
    NetworkThread::shared().perform([self, generation] { self->operationDidStart(generation); });
  }
}

void NKURLConnectionOperation::operationDidStart(std::uint64_t generation) {
  auto stream = outputStream();  // created on demand before the first byte
  std::shared_ptr<URLConnection> connection;
  {
    std::lock_guard lock(lock_);
    // A pause and resume since that start made a newer one, which loads:
    // two connections would write into the one body.
    if (generation != startGeneration_) return;
    // A pause between start() and this point leaves nothing to load now;
    // resume() starts the operation again.
    if (!cancelled_ && isExecuting()) {
      loadEnded_ = false;
      connection_ = URLConnection::create(
          request_,
          std::static_pointer_cast<platform::urlloading::URLConnectionDelegate>(sharedSelf()));
      connection = connection_;
    }
  }
  // Started outside the lock: its delegate calls take it. This is the
  // network thread, so a pause's cancel of it can only come after.
  if (connection) connection->start();
  if (cancelled_) {
    Error error = cancellationError();
    {
      std::lock_guard lock(lock_);
      error_ = std::move(error);
    }
    finish();
  }
}

void NKURLConnectionOperation::finish() {
  std::shared_ptr<std::shared_ptr<NKURLConnectionOperation>> holder;
  {
    std::lock_guard lock(lock_);
    // Finished once already (a cancel racing the start of the load, say):
    // a second finish announces nothing.
    if (isFinished()) return;
    if (completion_) {
      holder = finishingSelf_;
      *holder = sharedSelf();
    }
  }
  if (!setState(kFinished)) {
    // Another finish won the race: it announces and posts.
    if (isFinished()) return;
    if (holder) holder->reset();
  }
  if (tFinishedInBatch) {
    tFinishedInBatch->push_back(shared_from_this());
  } else {
    // Finished on the network thread (cancelled before its load began, or
    // while paused): its start notification, maybe still gathered, first.
    if (NetworkThread::shared().isCurrent()) flushStartNotifications();
    platform::NotificationCenter::defaultCenter().postOnMainThread(
        kNKNetworkingOperationDidFinishNotification, shared_from_this());
  }
}

Error NKURLConnectionOperation::cancellationError() const {
  std::lock_guard lock(lock_);
  Value info;
  if (request_.url().isValid()) {
    info = Value::dictionary({{platform::kURLErrorKey, Value(request_.url().absoluteString())}});
  }
  return Error(platform::kURLErrorDomain, platform::urlloading::kURLErrorCancelled, info);
}

void NKURLConnectionOperation::cancel() {
  {
    std::lock_guard lock(lock_);
    // A load that has ended is as good as finished (see pause()).
    if (isFinished() || cancelled_ || loadEnded_) return;
    cancelled_ = true;
  }
  willChangeValueForKey(platform::kOperationIsCancelledKey);
  platform::Operation::cancel();
  didChangeValueForKey(platform::kOperationIsCancelledKey);
  auto self = sharedSelf();
  NetworkThread::shared().perform([self] { self->cancelConnection(); });
}

void NKURLConnectionOperation::cancelConnection() {
  Error error = cancellationError();
  std::shared_ptr<URLConnection> connection;
  std::shared_ptr<platform::urlloading::OutputStream> stream;
  bool paused;
  {
    std::lock_guard lock(lock_);
    if (isFinished()) return;
    paused = isPaused();
    connection = connection_;
    if (paused) {
      error_ = error;
      stream = outputStream_;
      connection_.reset();
    }
  }
  if (paused) {
    // A paused operation may only become ready; from there a cancelled one
    // may finish. Without this it would never end.
    setState(kReady);
    if (connection) connection->cancel();
    if (stream) stream->close();
    finish();
    return;
  }
  if (connection) {
    connection->cancel();
    connectionDidFailWithError(*connection, error);
  }
}

void NKURLConnectionOperation::pause() {
  if (isPaused() || isFinished() || isCancelled()) return;
  std::shared_ptr<URLConnection> connection;
  bool executing;
  {
    std::lock_guard lock(lock_);
    // A load that has ended is as good as finished: its body is complete.
    if (loadEnded_) return;
    // A start whose load has not begun yet must not begin it once the state
    // is paused (the state changes after this lock is released).
    ++startGeneration_;
    executing = isExecuting();
    // Let go of the connection at once: whatever it still delivers before
    // the network thread cancels it (maybe after a resume) is not current.
    if (executing) connection = std::move(connection_);
  }
  if (executing) {
    NetworkThread::shared().perform([connection] {
      if (connection) connection->cancel();
    });
    if (NetworkThread::shared().isCurrent()) flushStartNotifications();
    platform::NotificationCenter::defaultCenter().postOnMainThread(
        kNKNetworkingOperationDidFinishNotification, shared_from_this());
  }
  setState(kPaused);
}

void NKURLConnectionOperation::resume() {
  if (!isPaused()) return;
  setState(kReady);
  start();
}

void NKURLConnectionOperation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(lock_);
  if (!block) {
    completion_.reset();
    finishingSelf_.reset();
    platform::Operation::setCompletionBlock(nullptr);
    return;
  }
  auto shared = std::make_shared<std::function<void()>>(std::move(block));
  completion_ = shared;
  if (!finishingSelf_) {
    finishingSelf_ = std::make_shared<std::shared_ptr<NKURLConnectionOperation>>();
  }
  auto holder = finishingSelf_;
  std::weak_ptr<platform::Operation> weak = weak_from_this();
  platform::Operation::setCompletionBlock([weak, shared, holder] {
    (*shared)();
    holder->reset();
    if (auto op = weak.lock()) {
      auto self = std::static_pointer_cast<NKURLConnectionOperation>(op);
      std::lock_guard completionLock(self->lock_);
      if (self->completion_ == shared) self->completion_.reset();
      op->platform::Operation::setCompletionBlock(nullptr);
    }
    // Release what the block captured (the operation itself included) now.
    *shared = nullptr;
  });
}

std::function<void()> NKURLConnectionOperation::completionBlock() const {
  std::lock_guard lock(lock_);
  return completion_ ? *completion_ : std::function<void()>();
}

std::string NKURLConnectionOperation::description() const {
  std::lock_guard lock(lock_);
  return platform::format(
      "<%@: %p, state: %@, cancelled: %@ request: %@, response: %@>", objectClass().name,
      static_cast<const void*>(this), keyPathForState(state_), cancelled_ ? "YES" : "NO",
      request_.description(), response_ ? response_->description() : std::string("(null)"));
}

// --- request and response ------------------------------------------------------

NKURLConnectionOperation::URLRequest NKURLConnectionOperation::request() const {
  std::lock_guard lock(lock_);
  return request_;
}

void NKURLConnectionOperation::setRequest(URLRequest request) {
  std::lock_guard lock(lock_);
  request_ = std::move(request);
}

std::optional<NKURLConnectionOperation::URLResponse> NKURLConnectionOperation::response() const {
  std::lock_guard lock(lock_);
  return response_;
}

Error NKURLConnectionOperation::error() {
  std::lock_guard lock(lock_);
  return error_;
}

std::optional<platform::Bytes> NKURLConnectionOperation::responseData() const {
  std::lock_guard lock(lock_);
  return responseData_;
}

std::optional<NKTextEncoding> NKURLConnectionOperation::responseStringEncoding() {
  std::lock_guard lock(lock_);
  if (!responseStringEncoding_ && response_) {
    NKTextEncoding enc;
    const std::string& name = response_->textEncodingName();
    if (!name.empty()) {
      if (auto e = platform::encodingForIANAName(name)) {
        enc.encoding = *e;
        if (*e == platform::StringEncoding::Other) enc.charsetName = name;
      }
    }
    responseStringEncoding_ = enc;
  }
  return responseStringEncoding_;
}

std::optional<std::string> NKURLConnectionOperation::responseString() {
  {
    std::lock_guard lock(lock_);
    if (responseString_ || !response_ || !responseData_) return responseString_;
  }
  // Asked outside the lock: subclasses' encodings read the response too.
  auto enc = responseStringEncoding();
  std::lock_guard lock(lock_);
  if (!responseString_ && responseData_ && enc) {
    responseString_ = decodeText(*responseData_, *enc);
  }
  return responseString_;
}

std::shared_ptr<platform::urlloading::InputStream> NKURLConnectionOperation::inputStream() const {
  std::lock_guard lock(lock_);
  return request_.HTTPBodyStream();
}

void NKURLConnectionOperation::setInputStream(
    std::shared_ptr<platform::urlloading::InputStream> stream) {
  willChangeValueForKey("inputStream");
  {
    std::lock_guard lock(lock_);
    request_.setHTTPBodyStream(std::move(stream));
  }
  didChangeValueForKey("inputStream");
}

std::shared_ptr<platform::urlloading::OutputStream> NKURLConnectionOperation::outputStream() {
  std::shared_ptr<platform::urlloading::OutputStream> stream;
  {
    std::lock_guard lock(lock_);
    if (outputStream_) return outputStream_;
    stream = outputStream_ = std::make_shared<platform::urlloading::MemoryOutputStream>();
  }
  willChangeValueForKey("outputStream");
  didChangeValueForKey("outputStream");
  return stream;
}

void NKURLConnectionOperation::setOutputStream(
    std::shared_ptr<platform::urlloading::OutputStream> stream) {
  std::shared_ptr<platform::urlloading::OutputStream> old;
  {
    std::lock_guard lock(lock_);
    if (stream == outputStream_) return;
    old = std::exchange(outputStream_, std::move(stream));
  }
  willChangeValueForKey("outputStream");
  if (old) old->close();
  didChangeValueForKey("outputStream");
}

// --- settings -------------------------------------------------------------------

std::optional<platform::urlloading::URLCredential> NKURLConnectionOperation::credential() const {
  std::lock_guard lock(lock_);
  return credential_;
}
void NKURLConnectionOperation::setCredential(
    std::optional<platform::urlloading::URLCredential> credential) {
  std::lock_guard lock(lock_);
  credential_ = std::move(credential);
}
Value NKURLConnectionOperation::userInfo() const {
  std::lock_guard lock(lock_);
  return userInfo_;
}
void NKURLConnectionOperation::setUserInfo(Value info) {
  std::lock_guard lock(lock_);
  userInfo_ = std::move(info);
}
std::set<std::string> NKURLConnectionOperation::runLoopModes() const {
  std::lock_guard lock(lock_);
  return runLoopModes_;
}
void NKURLConnectionOperation::setRunLoopModes(std::set<std::string> modes) {
  std::lock_guard lock(lock_);
  runLoopModes_ = std::move(modes);
}
void NKURLConnectionOperation::setUploadProgressBlock(ProgressBlock block) {
  std::lock_guard lock(lock_);
  uploadProgress_ = std::move(block);
}
void NKURLConnectionOperation::setDownloadProgressBlock(ProgressBlock block) {
  std::lock_guard lock(lock_);
  downloadProgress_ = std::move(block);
}
void NKURLConnectionOperation::setWillSendRequestForAuthenticationChallengeBlock(
    ChallengeBlock block) {
  std::lock_guard lock(lock_);
  authenticationChallenge_ = std::move(block);
}
void NKURLConnectionOperation::setCacheResponseBlock(CacheBlock block) {
  std::lock_guard lock(lock_);
  cacheResponse_ = std::move(block);
}
void NKURLConnectionOperation::setRedirectResponseBlock(RedirectBlock block) {
  std::lock_guard lock(lock_);
  redirectResponse_ = std::move(block);
}

// --- connection callbacks ---------------------------------------------------------

std::optional<NKURLConnectionOperation::URLRequest>
NKURLConnectionOperation::connectionWillSendRequest(
    URLConnection& connection, URLRequest request,
    const std::optional<URLResponse>& redirectResponse) {
  RedirectBlock block;
  {
    std::lock_guard lock(lock_);
    block = redirectResponse_;
  }
  if (block) return block(connection, request, redirectResponse);
  return request;
}

void NKURLConnectionOperation::connectionDidSendBodyData(URLConnection&, std::int64_t bytesWritten,
                                                         std::int64_t totalBytesWritten,
                                                         std::int64_t totalBytesExpectedToWrite) {
  ProgressBlock block;
  {
    std::lock_guard lock(lock_);
    block = uploadProgress_;
  }
  if (!block) return;
  platform::dispatch::Queue::main()->async(
      [block, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite] {
        block(bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
      });
}

bool NKURLConnectionOperation::isCurrentConnection(const URLConnection& connection) const {
  std::lock_guard lock(lock_);
  return connection_.get() == &connection;
}

void NKURLConnectionOperation::connectionDidReceiveResponse(URLConnection& connection,
                                                            const URLResponse& response) {
  if (!isCurrentConnection(connection)) return;
  auto stream = outputStream();
  {
    std::lock_guard lock(lock_);
    if (connection_.get() != &connection) return;
    response_ = response;
  }
  stream->open();
}

void NKURLConnectionOperation::failConnection(URLConnection& connection, const Error& error) {
  connection.cancel();
  connectionDidFailWithError(connection, error);
}

void NKURLConnectionOperation::connectionDidReceiveData(URLConnection& connection,
                                                        const std::uint8_t* bytes,
                                                        std::size_t length) {
  // Bytes of a connection that a pause has let go are not part of the body.
  if (!isCurrentConnection(connection) || isPaused()) return;
  auto stream = outputStream();
  auto streamFailure = [&] {
    Error e = stream->streamError();
    if (!e) {
      e = Error(platform::kPOSIXErrorDomain, EIO,
                Value::dictionary({{platform::kLocalizedDescriptionKey,
                                    Value("The response body could not be written.")}}));
    }
    return e;
  };
  if (!stream->hasSpaceAvailable()) {
    failConnection(connection, streamFailure());
    return;
  }
  std::size_t written = 0;
  while (written < length) {
    long n;
    try {
      n = stream->write(bytes + written, length - written);
    } catch (const std::bad_alloc&) {
      // The body does not fit in memory: the load fails, the process goes on.
      failConnection(connection, outOfMemoryError());
      return;
    }
    if (n <= 0) {
      // A failed write would leave the body short: fail instead.
      failConnection(connection, streamFailure());
      return;
    }
    written += static_cast<std::size_t>(n);
  }
  const std::int64_t total = totalBytesRead_ += static_cast<std::int64_t>(length);
  ProgressBlock block;
  std::int64_t expected = -1;
  {
    std::lock_guard lock(lock_);
    block = downloadProgress_;
    if (response_) expected = response_->expectedContentLength();
  }
  if (block) {
    const auto len = static_cast<std::int64_t>(length);
    platform::dispatch::Queue::main()->async(
        [block, len, total, expected] { block(len, total, expected); });
  }
}

std::optional<NKURLConnectionOperation::CachedURLResponse>
NKURLConnectionOperation::connectionWillCacheResponse(URLConnection& connection,
                                                      CachedURLResponse proposed) {
  CacheBlock block;
  {
    std::lock_guard lock(lock_);
    block = cacheResponse_;
  }
  if (block) return block(connection, proposed);
  if (cancelled_) return std::nullopt;
  return proposed;
}

void NKURLConnectionOperation::connectionDidFinishLoading(URLConnection& connection) {
  deferLoadEnd(connection, std::nullopt);
}

void NKURLConnectionOperation::connectionDidFailWithError(URLConnection& connection,
                                                          const Error& error) {
  deferLoadEnd(connection, error);
}

std::shared_ptr<NKURLConnectionOperation::URLConnection> NKURLConnectionOperation::connectionEnded(
    URLConnection& connection, const std::optional<Error>& error) {
  auto stream = outputStream();
  {
    std::lock_guard lock(lock_);
    // A pause, a cancel or a new start meanwhile has let this load go.
    if (connection_.get() != &connection || isPaused()) return nullptr;
    // Finished already (cancelled as the load began): nothing to record.
    if (isFinished()) return std::move(connection_);
    if (error) error_ = *error;
  }
  // The stream is closed outside the lock (it may be the caller's own);
  // pause and cancel leave an ended load alone (loadEnded_).
  std::optional<platform::Bytes> body;
  std::optional<Error> failure = error;
  if (!failure) {
    try {
      body = stream->dataWrittenToMemory();
    } catch (const std::bad_alloc&) {
      failure = outOfMemoryError();
      std::lock_guard lock(lock_);
      error_ = *failure;
    }
  }
  stream->close();
  if (!failure) {
    std::lock_guard lock(lock_);
    responseData_ = std::move(body);
  }
  finish();
  std::lock_guard lock(lock_);
  return std::move(connection_);
}

// --- archiving and copying ---------------------------------------------------------

Value NKURLConnectionOperation::encodeWithCoder() {
  pause();
  std::lock_guard lock(lock_);
  Value coder = Value::mutableDictionary();
  coder.set("class", Value(objectClass().name));
  coder.set("request", request_.toValue());
  const std::int16_t s = state_;
  coder.set(
      "state",
      Value(static_cast<std::int64_t>(s == kExecuting || s == kPaused ? std::int16_t{kReady} : s)));
  coder.set("isCancelled", Value(static_cast<bool>(cancelled_)));
  if (response_) coder.set("response", response_->toValue());
  if (error_) coder.set("error", errorToValue(error_));
  if (responseData_) coder.set("responseData", Value::data(*responseData_));
  coder.set("totalBytesRead", Value(totalBytesRead_.load()));
  coder.set("allowsInvalidSSLCertificate", Value(static_cast<bool>(allowsInvalidSSLCertificate_)));
  return coder;
}

void NKURLConnectionOperation::restoreFromCoder(const Value& coder) {
  setState(static_cast<std::int16_t>(coder["state"].asInt64()));
  std::lock_guard lock(lock_);
  cancelled_ = coder["isCancelled"].asBool();
  if (coder["response"].isDictionary()) response_ = URLResponse::fromValue(coder["response"]);
  error_ = errorFromValue(coder["error"]);
  if (coder["responseData"].isData()) responseData_ = coder["responseData"].asData();
  totalBytesRead_ = coder["totalBytesRead"].asInt64();
  allowsInvalidSSLCertificate_ = coder["allowsInvalidSSLCertificate"].asBool();
}

void NKURLConnectionOperation::copySettingsTo(NKURLConnectionOperation& other) const {
  std::lock_guard lock(lock_);
  other.uploadProgress_ = uploadProgress_;
  other.downloadProgress_ = downloadProgress_;
  other.authenticationChallenge_ = authenticationChallenge_;
  other.cacheResponse_ = cacheResponse_;
  other.redirectResponse_ = redirectResponse_;
  other.allowsInvalidSSLCertificate_ = static_cast<bool>(allowsInvalidSSLCertificate_);
}

NKURLConnectionOperation::Ptr NKURLConnectionOperation::copy() const {
  Ptr other = objectClass().create(request());
  copySettingsTo(*other);
  return other;
}

}  // namespace net::http

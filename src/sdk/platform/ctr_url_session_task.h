// The tasks of the session layer (CTRURLSession): one load of one request
// each, run over the platform's URL loading (platform/urlloading), on its
// network thread.
//
// CTRURLSessionTask is the common base; its own start/resume/cancel/cleanup
// do nothing. CTRURLSessionDataTask collects the body in memory,
// CTRURLSessionUploadTask is a data task whose request body is read from a
// file, CTRURLSessionDownloadTask writes the body to a new file in the
// temporary directory.
//
// Guarantees:
//  1. A task is made idle by its session (already configured: request,
//     session as delegate) and loads from resume() until it completes.
//     Completion happens at most once: completion handler first, then the
//     session's taskDidCompleteWithError. A second resume() does nothing.
//  2. Every state change runs on the task's own serial queue
//     ("com.crashtrail.URLSessionTask"), and so do the completion handlers:
//     the connection's callbacks (on the network thread) are handed to that
//     queue one by one, in order.
//  3. cancel() ends the load: nothing is reported after it, the task never
//     completes and stays in its session's live set until the session goes;
//     its completion handlers are released (they can never run). A cancel
//     right after resume() stops the load too (both go through the task's
//     queue in order).
//  4. While a task loads it keeps its session alive, so a session that its
//     owner dropped still reports the running tasks' outcome; a task that
//     completes or is cancelled lets go of it.
//  5. A download writes every received byte to targetURL() (retrying short
//     writes); a write failure closes the file, cancels the load and
//     completes with "CTRURLSessionDownloadTaskError" -1 (unless an error is
//     already set). The file is closed before the task completes, and exists
//     (empty) even when the body was empty. A failed download leaves its
//     partial file behind.
//
// Thread safety: every member may be called from any thread; getters return
// the state as the task's queue last left it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/urlloading/stream.h"
#include "platform/urlloading/url_connection.h"
#include "platform/urlloading/url_request.h"

namespace sdk {

inline constexpr const char* kCTRURLSessionTaskQueueLabel = "com.crashtrail.URLSessionTask";
// The error of a download whose file cannot be written (code -1, no details).
inline constexpr const char* kCTRURLSessionDownloadTaskErrorDomain =
    "CTRURLSessionDownloadTaskError";

class CTRURLSessionTask;
class CTRURLSessionDataTask;
class CTRURLSessionDownloadTask;

// (data, response, error): data is nullopt when no byte came; error is
// empty on success.
using CTRURLSessionDataCompletion =
    std::function<void(const std::optional<platform::Bytes>& data,
                       const std::optional<platform::urlloading::URLResponse>& response,
                       const platform::Error& error)>;
// (location of the downloaded file, response, error).
using CTRURLSessionDownloadCompletion =
    std::function<void(const std::optional<platform::URL>& location,
                       const std::optional<platform::urlloading::URLResponse>& response,
                       const platform::Error& error)>;

// What a task reports to its session (CTRURLSession implements it). Calls
// come on the task's queue, except taskDidReceiveServerTrustChallenge,
// which comes on the network thread and must be answered inside the call.
class CTRURLSessionTaskDelegate {
 public:
  virtual ~CTRURLSessionTaskDelegate() = default;
  virtual void taskDidCompleteWithError(CTRURLSessionTask& task, const platform::Error& error) = 0;
  virtual void taskDidReceiveResponse(CTRURLSessionTask& task,
                                      const platform::urlloading::URLResponse& response) = 0;
  virtual void taskDidReceiveData(CTRURLSessionTask& task, const platform::Bytes& data) = 0;
  virtual void downloadTaskDidFinishDownloadingToURL(CTRURLSessionDownloadTask& task,
                                                     const platform::URL& location) = 0;
  // Returns `request` unchanged; no task sends it (redirects follow the
  // connection's default behaviour).
  virtual platform::urlloading::URLRequest taskWillPerformHTTPRedirection(
      CTRURLSessionTask& task, const platform::urlloading::URLResponse& response,
      platform::urlloading::URLRequest request) {
    (void)task;
    (void)response;
    return request;
  }
  // A server-trust challenge of the task's connection; the default answers
  // with the default evaluation.
  virtual void taskDidReceiveServerTrustChallenge(
      CTRURLSessionTask& task, const platform::urlloading::AuthenticationChallenge& challenge);
};

class CTRURLSessionTask : public std::enable_shared_from_this<CTRURLSessionTask> {
 public:
  using Ptr = std::shared_ptr<CTRURLSessionTask>;

  // A new task of this class (+task).
  static Ptr task();
  CTRURLSessionTask();
  virtual ~CTRURLSessionTask();
  CTRURLSessionTask(const CTRURLSessionTask&) = delete;
  CTRURLSessionTask& operator=(const CTRURLSessionTask&) = delete;

  // The request the session configured (with its additional headers).
  std::optional<platform::urlloading::URLRequest> originalRequest() const;
  void setOriginalRequest(platform::urlloading::URLRequest request);
  // Nothing sets it.
  std::optional<platform::urlloading::URLRequest> currentRequest() const;
  std::optional<platform::urlloading::URLResponse> response() const;
  platform::Error error() const;

  // The owning session; not owned (see guarantee 4 for the time it runs).
  std::shared_ptr<CTRURLSessionTaskDelegate> delegate() const;
  void setDelegate(std::weak_ptr<CTRURLSessionTaskDelegate> delegate);

  // True by default; a task made with a completion handler has it off, and
  // then the session's owner hears nothing of it.
  bool invokesDelegate() const;
  void setInvokesDelegate(bool invokes);

  std::string taskDescription() const;
  void setTaskDescription(std::string description);

  const platform::dispatch::QueuePtr& queue() const { return queue_; }

  virtual void start() {}
  virtual void resume() {}
  virtual void cancel() {}
  virtual void cleanup() {}

  std::string description() const;

 protected:
  void setResponse(platform::urlloading::URLResponse response);
  void setError(platform::Error error);

  mutable std::mutex mutex_;  // guards the fields below

 private:
  std::optional<platform::urlloading::URLRequest> originalRequest_;
  std::optional<platform::urlloading::URLResponse> response_;
  platform::Error error_;
  std::weak_ptr<CTRURLSessionTaskDelegate> delegate_;
  bool invokesDelegate_ = true;
  std::string taskDescription_;
  const platform::dispatch::QueuePtr queue_;
};

class CTRURLSessionDataTask : public CTRURLSessionTask {
 public:
  static std::shared_ptr<CTRURLSessionDataTask> task();
  CTRURLSessionDataTask();
  ~CTRURLSessionDataTask() override;

  // Starts the load (asynchronously, on the task's queue); once only.
  void resume() override;
  // Stops the load (guarantee 3).
  void cancel() override;
  bool isCancelled() const { return cancelled_.load(); }

  CTRURLSessionDataCompletion completionHandler() const;
  void setCompletionHandler(CTRURLSessionDataCompletion handler);

  // The received bytes; nullopt while none came.
  std::optional<platform::Bytes> data() const;

  // The connection, once resume() made it (nullptr before).
  std::shared_ptr<platform::urlloading::URLConnection> connection() const;

 protected:
  class ConnectionDelegate;
  friend class ConnectionDelegate;

  // Steps on the task's queue.
  void startConnection(std::shared_ptr<CTRURLSessionTaskDelegate> session);
  void handleResponse(const platform::urlloading::URLResponse& response);
  virtual void handleData(platform::Bytes bytes);
  void handleFailure(const platform::Error& error);
  virtual void handleFinished();
  virtual void complete();
  // Calls the completion handler and the session, once.
  void reportCompletion();
  // Drops the session reference taken at resume().
  void releaseSession();
  // Drops the completion handlers (after cancel: they can never run).
  virtual void dropHandlers();
  bool markCompleted();                            // true the first time
  bool isCompleted() const { return completed_; }  // task queue only

  std::shared_ptr<CTRURLSessionTaskDelegate> keptSession_;  // task queue only
  std::atomic<bool> cancelled_{false};

 private:
  std::shared_ptr<platform::urlloading::URLConnection> connection_;  // guarded by mutex_
  CTRURLSessionDataCompletion completionHandler_;                    // guarded by mutex_
  std::optional<platform::Bytes> data_;                              // guarded by mutex_
  bool resumed_ = false;                                             // task queue only
  bool completed_ = false;                                           // task queue only
};

// A data task whose request body streams from a file.
class CTRURLSessionUploadTask : public CTRURLSessionDataTask {
 public:
  static std::shared_ptr<CTRURLSessionUploadTask> task();
};

class CTRURLSessionDownloadTask : public CTRURLSessionDataTask {
 public:
  static std::shared_ptr<CTRURLSessionDownloadTask> task();
  // The target file is named by a new unique string in the temporary
  // directory ($TMPDIR, else /tmp).
  CTRURLSessionDownloadTask();
  // Closes the output file.
  ~CTRURLSessionDownloadTask() override;

  CTRURLSessionDownloadCompletion downloadCompletionHandler() const;
  void setDownloadCompletionHandler(CTRURLSessionDownloadCompletion handler);

  const platform::URL& targetURL() const { return targetURL_; }

 protected:
  void handleData(platform::Bytes bytes) override;
  void handleFinished() override;
  void complete() override;
  void dropHandlers() override;

 private:
  void failWriting();

  CTRURLSessionDownloadCompletion downloadCompletionHandler_;  // guarded by mutex_
  platform::URL targetURL_;
  std::unique_ptr<platform::urlloading::FileOutputStream> outputStream_;  // task queue only
};

}  // namespace sdk

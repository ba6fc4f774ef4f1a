// What carries the requests of URL session tasks. The platform's own transport runs on
// libcurl (see url_session.hpp for what it does); a host or a test hands another one to
// configure() (Configuration::transport).
//
// Sessions keep everything above the wire: task states, the delegate queue, background
// persistence and retries, the active-task count. A transport only carries requests: it gets
// each resumed task once through start() and ends it through exactly one of the deliver
// functions below. A delivery after the first one for the same task is ignored (a file it
// hands over is deleted), so a transport need not guard against a cancel racing its answer.
//
//     class MyTransport final : public qm::platform::Transport {
//     public:
//         void start(std::shared_ptr<URLSessionTask> task) override {
//             queue_.async([task] {
//                 const URLRequest& request = task->originalRequest();
//                 ... send it ...
//                 deliverResponse(task, response, std::move(body));
//             });
//         }
//         void cancel(std::shared_ptr<URLSessionTask> task) override {
//             ... stop it ...
//             deliverError(task, URLError::withCode(URLErrorCode::Cancelled));
//         }
//     };
#pragma once

#include <memory>
#include <string>

#include "qmplatform/url_session.hpp"

namespace qm::platform {

class Transport {
public:
    virtual ~Transport() = default;

    // Carries a task that was just resumed: its request is task->originalRequest(), its kind
    // task->isDownloadTask(). Called on the thread that resumed the task (any thread, often
    // the main thread): hand the work over and return at once.
    virtual void start(std::shared_ptr<URLSessionTask> task) = 0;
    // The task was cancelled while running (its state is Canceling): stop carrying it and
    // deliver URLErrorCode::Cancelled, unless its result is already on its way. Any thread.
    virtual void cancel(std::shared_ptr<URLSessionTask> task) = 0;
    // The platform is stopping (qm::platform::shutdown): let the requests being carried finish
    // for up to `timeoutSeconds`, end the rest (a lost connection keeps a background request
    // for the next process) and end the transport's threads; a later start() may start them
    // again. True when nothing had to be ended. Called on the stopping thread.
    virtual bool shutdown(double timeoutSeconds) {
        (void)timeoutSeconds;
        return true;
    }

    // The transport that tasks created from now on use: the one set, else the platform's
    // libcurl transport. A task keeps the transport it was created with. Any thread.
    static std::shared_ptr<Transport> current();
    // Null goes back to the libcurl transport.
    static void setCurrent(std::shared_ptr<Transport> transport);

protected:
    // What a transport reads of a task besides its request. Constant from start() on.
    // The configuration of the task's session: time limits and the largest answer allowed.
    static const URLSessionConfiguration& configurationOf(const URLSessionTask& task);
    // The User-Agent header to send unless the request names its own.
    static const std::string& userAgentOf(const URLSessionTask& task);
    // The folder where a download task's body file may be written (see deliverDownloadedFile).
    static const std::string& downloadDirectoryOf(const URLSessionTask& task);

    // The ways a task ends. Any thread, no lock of the transport's held (the calls are short:
    // the callbacks run later on the session's delegate queue).
    //
    // An answer from the server with its body. For a download task the body is written to a
    // file of the download folder first (the task fails with CannotCreateFile when it cannot
    // be written).
    static void deliverResponse(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response,
                                std::string body);
    // An answer whose body the transport already wrote to `filePath` (a file it created in
    // downloadDirectoryOf(task)); the session owns the file from here on and deletes it after
    // the callbacks. For a data task the file is read into the body.
    static void deliverDownloadedFile(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response,
                                      std::string filePath);
    // No answer: the request failed (URLError::withCode gives the platform's text for a code).
    static void deliverError(const std::shared_ptr<URLSessionTask>& task, URLError error);
};

}  // namespace qm::platform

#include "recording_transport.hpp"

#include <cctype>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/url.hpp"

namespace qm::testkit {

using platform::HTTPURLResponse;
using platform::URLError;
namespace URLErrorCode = platform::URLErrorCode;

namespace {

std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::string RecordingTransport::Request::path() const {
    const auto parsed = platform::URL::parse(url);
    return parsed ? parsed->path() : std::string();
}

std::optional<std::string> RecordingTransport::Request::header(std::string_view name) const {
    const std::string wanted = lowerCased(name);
    for (const auto& [key, value] : headers)
        if (lowerCased(key) == wanted) return value;
    return std::nullopt;
}

RecordingTransport::Answer RecordingTransport::Answer::json(const Value& value, long status) {
    Answer answer;
    answer.status = status;
    answer.headers["Content-Type"] = "application/json";
    answer.body = platform::json::write(value).value_or("");
    return answer;
}

RecordingTransport::Answer RecordingTransport::Answer::text(std::string body, long status) {
    Answer answer;
    answer.status = status;
    answer.headers["Content-Type"] = "text/plain; charset=utf-8";
    answer.body = std::move(body);
    return answer;
}

RecordingTransport::Answer RecordingTransport::Answer::failure(long errorCode) {
    Answer answer;
    answer.errorCode = errorCode;
    return answer;
}

void RecordingTransport::answer(std::string match, Answer answer) {
    std::lock_guard lock(mutex_);
    rules_.emplace_back(std::move(match), std::move(answer));
}

void RecordingTransport::answerNext(Answer answer) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(answer));
}

void RecordingTransport::setFallback(Answer answer) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(answer);
}

std::vector<RecordingTransport::Request> RecordingTransport::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t RecordingTransport::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::vector<RecordingTransport::Request> RecordingTransport::requestsFor(std::string_view match) const {
    std::vector<Request> found;
    std::lock_guard lock(mutex_);
    for (const Request& request : requests_)
        if (matches(std::string(match), request)) found.push_back(request);
    return found;
}

bool RecordingTransport::waitForRequests(std::size_t count, double realTimeoutSeconds) {
    return platform::RunLoop::main().runUntil([&] { return requestCount() >= count; }, realTimeoutSeconds);
}

bool RecordingTransport::matches(const std::string& match, const Request& request) {
    if (!match.empty() && match.front() == '/') return request.path() == match;
    return request.url == match;
}

void RecordingTransport::start(std::shared_ptr<platform::URLSessionTask> task) {
    const platform::URLRequest& original = task->originalRequest();
    Request request{original.httpMethod, original.url, original.headers, original.body, task->isDownloadTask()};
    Answer answer;
    {
        std::lock_guard lock(mutex_);
        const Answer* chosen = nullptr;
        for (const auto& [match, ruled] : rules_) {
            if (matches(match, request)) {
                chosen = &ruled;
                break;
            }
        }
        if (chosen) {
            answer = *chosen;
        } else if (!queued_.empty()) {
            answer = std::move(queued_.front());
            queued_.pop_front();
        } else {
            // Like the test host's unrouted port: the connection is refused.
            answer = fallback_.value_or(Answer::failure(URLErrorCode::CannotConnectToHost));
        }
        requests_.push_back(std::move(request));
    }
    // Later and elsewhere, as a real transport answers.
    platform::Queue::global().async([task = std::move(task), answer = std::move(answer)]() mutable {
        if (answer.errorCode != 0) {
            deliverError(task, URLError::withCode(answer.errorCode));
            return;
        }
        HTTPURLResponse response;
        response.url = task->originalRequest().url;
        response.statusCode = answer.status;
        for (auto& [name, value] : answer.headers) response.headers[lowerCased(name)] = std::move(value);
        deliverResponse(task, std::move(response), std::move(answer.body));
    });
}

void RecordingTransport::cancel(std::shared_ptr<platform::URLSessionTask> task) {
    // Whichever comes first, this or the scripted answer, is the task's result.
    platform::Queue::global().async(
        [task = std::move(task)] { deliverError(task, URLError::withCode(URLErrorCode::Cancelled)); });
}

}  // namespace qm::testkit

#include "qmmedia/image_loader.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <list>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qmmedia/media.hpp"
#include "qmplatform/crypto.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url_session.hpp"

namespace qm::platform::media {

namespace {

bool isWebURL(std::string_view url) {
    const auto startsWith = [url](std::string_view prefix) {
        if (url.size() <= prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xf]);
    }
    return out;
}

// A stable name for the URL's file: HMAC-SHA256 under a fixed key, used as a plain hash.
std::string fileNameFor(const std::string& url) {
    static constexpr std::string_view kKey = "qm.image-loader.v1";
    const auto digest =
        crypto::hmacSHA256({reinterpret_cast<const std::uint8_t*>(kKey.data()), kKey.size()},
                           {reinterpret_cast<const std::uint8_t*>(url.data()), url.size()});
    if (digest) return hex(digest->data(), digest->size()) + ".img";
    // FNV-1a when the hash is not available.
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : url) h = (h ^ c) * 0x100000001b3ull;
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(h >> (56 - 8 * i));
    return hex(bytes, 8) + ".img";
}

std::size_t costOf(const Image& image) {
    std::size_t bytes = 0;
    for (const Bitmap& frame : image.frames()) bytes += frame.pixels.size() * sizeof(std::uint32_t);
    return bytes;
}

}  // namespace

struct ImageLoader::State : std::enable_shared_from_this<ImageLoader::State> {
    Options options;
    std::shared_ptr<URLSession> session;
    std::shared_ptr<ImageCodec> codec = imageCodec();

    mutable std::mutex mutex;
    std::mutex diskMutex;  // one trim at a time
    // Most recently used first.
    mutable std::list<std::pair<std::string, std::shared_ptr<Image>>> recent;
    std::unordered_map<std::string, decltype(recent)::iterator> byURL;
    std::size_t bytes = 0;
    std::unordered_map<std::string, std::vector<Completion>> waiting;

    std::string folder() const { return Sandbox::cachesDirectory() + "/" + options.folderName; }
    std::string pathFor(const std::string& url) const { return folder() + "/" + fileNameFor(url); }

    std::shared_ptr<Image> lookUp(const std::string& url) const {
        std::lock_guard lock(mutex);
        const auto found = byURL.find(url);
        if (found == byURL.end()) return nullptr;
        recent.splice(recent.begin(), recent, found->second);
        return found->second->second;
    }

    void remember(const std::string& url, const std::shared_ptr<Image>& image) {
        const std::size_t cost = costOf(*image);
        std::lock_guard lock(mutex);
        if (const auto found = byURL.find(url); found != byURL.end()) {
            bytes -= costOf(*found->second->second);
            recent.erase(found->second);
            byURL.erase(found);
        }
        if (cost > options.memoryCapacityBytes) return;  // it would push out everything else
        recent.emplace_front(url, image);
        byURL[url] = recent.begin();
        bytes += cost;
        while (bytes > options.memoryCapacityBytes && !recent.empty()) {
            bytes -= costOf(*recent.back().second);
            byURL.erase(recent.back().first);
            recent.pop_back();
        }
    }

    // Hands the result to everyone waiting for the URL, on the main queue.
    void finish(const std::string& url, std::shared_ptr<Image> image, std::string error) {
        std::vector<Completion> completions;
        {
            std::lock_guard lock(mutex);
            const auto found = waiting.find(url);
            if (found == waiting.end()) return;
            completions = std::move(found->second);
            waiting.erase(found);
        }
        Queue::main().async([completions = std::move(completions), image = std::move(image), error = std::move(error)] {
            for (const auto& completion : completions) completion(image, error);
        });
    }

    std::shared_ptr<Image> decode(std::string_view data, std::string& error) const {
        ImageCodec::Decoded decoded = codec->decode(data);
        if (!decoded.error.empty() || decoded.frames.empty()) {
            error = "not a picture: " + (decoded.error.empty() ? std::string("no frames") : decoded.error);
            return nullptr;
        }
        return Image::animated(std::move(decoded.frames), std::move(decoded.delays));
    }

    // On a global queue: the disk cache first, then the network.
    void loadFromDiskOrNetwork(const std::string& url) {
        const std::string path = pathFor(url);
        if (Files::fileExists(path)) {
            const auto size = Files::fileSize(path);
            std::optional<std::string> data;
            if (size && *size <= options.maximumDownloadBytes) data = Files::readFile(path);
            std::string error;
            if (auto image = data ? decode(*data, error) : nullptr) {
                touch(path);
                remember(url, image);
                finish(url, std::move(image), {});
                return;
            }
            // Damaged or unreadable: forget it and fetch the picture again.
            Files::removeItem(path);
        }
        download(url);
    }

    void download(const std::string& url) {
        URLRequest request;
        request.url = url;
        auto self = shared_from_this();
        auto task = session->downloadTaskWithRequest(
            std::move(request), [self, url](const std::optional<std::string>& location,
                                            const std::optional<HTTPURLResponse>& response,
                                            const std::optional<URLError>& error) {
                if (error) return self->finish(url, nullptr, "download failed: " + error->description());
                if (!response || response->statusCode < 200 || response->statusCode > 299)
                    return self->finish(url, nullptr,
                                        "download failed: the server answered " +
                                            std::to_string(response ? response->statusCode : 0));
                // The file goes when this handler returns: read it now, decode elsewhere.
                auto data = location ? Files::readFile(*location) : std::nullopt;
                if (!data) return self->finish(url, nullptr, "download failed: the downloaded file cannot be read");
                Queue::global().async([self, url, data = std::move(*data)] { self->store(url, data); });
            });
        task->resume();
    }

    // A file's modification time says when it was last used.
    static void touch(const std::string& path) {
        std::error_code ignored;
        std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now(), ignored);
    }

    // Removes the least recently used files until the folder fits its capacity.
    void trimDisk() {
        std::lock_guard lock(diskMutex);
        struct Entry {
            std::filesystem::path path;
            std::filesystem::file_time_type used;
            std::uintmax_t size;
        };
        std::vector<Entry> entries;
        std::uintmax_t total = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder(), error)) {
            std::error_code itemError;
            if (!entry.is_regular_file(itemError) || entry.path().extension() != ".img") continue;
            const auto size = entry.file_size(itemError);
            const auto used = entry.last_write_time(itemError);
            if (itemError) continue;
            entries.push_back({entry.path(), used, size});
            total += size;
        }
        if (total <= options.diskCapacityBytes) return;
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.used < b.used; });
        for (const Entry& entry : entries) {
            if (total <= options.diskCapacityBytes) break;
            std::error_code removeError;
            if (std::filesystem::remove(entry.path, removeError)) total -= entry.size;
        }
    }

    void store(const std::string& url, const std::string& data) {
        std::string error;
        auto image = decode(data, error);
        if (!image) return finish(url, nullptr, error);
        if (Files::createDirectory(folder())) {
            const std::string path = pathFor(url);
            Files::writeFileAtomically(path, data);
            Files::setExcludedFromBackup(path, true);
            trimDisk();
        }
        remember(url, image);
        finish(url, std::move(image), {});
    }
};

ImageLoader::ImageLoader() : ImageLoader(Options{}) {}

ImageLoader::ImageLoader(Options options) : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
    if (state_->options.folderName.empty() || state_->options.folderName.find('/') != std::string::npos ||
        state_->options.folderName == "." || state_->options.folderName == "..")
        state_->options.folderName = Options{}.folderName;
    URLSessionConfiguration configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBodySize = state_->options.maximumDownloadBytes;
    if (state_->options.timeoutSeconds > 0) configuration.timeoutIntervalForRequest = state_->options.timeoutSeconds;
    state_->session = URLSession::sessionWithConfiguration(configuration);
}

ImageLoader::~ImageLoader() {
    // Downloads under way finish and complete; the session goes after the last one.
    state_->session->finishTasksAndInvalidate();
}

void ImageLoader::load(const std::string& url, Completion completion) {
    if (!completion) completion = [](std::shared_ptr<Image>, const std::string&) {};
    if (!isWebURL(url)) {
        Queue::main().async([completion = std::move(completion), url] {
            completion(nullptr, "not an http or https URL: \"" + url + "\"");
        });
        return;
    }
    if (auto image = state_->lookUp(url)) {
        Queue::main().async([completion = std::move(completion), image = std::move(image)] { completion(image, {}); });
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        auto& waiting = state_->waiting[url];
        waiting.push_back(std::move(completion));
        if (waiting.size() > 1) return;  // joins the load under way
    }
    Queue::global().async([state = state_, url] { state->loadFromDiskOrNetwork(url); });
}

std::shared_ptr<Image> ImageLoader::cachedImage(const std::string& url) const { return state_->lookUp(url); }

std::string ImageLoader::diskPath(const std::string& url) const { return state_->pathFor(url); }

std::size_t ImageLoader::memoryBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->bytes;
}

void ImageLoader::removeAllFromMemory() {
    std::lock_guard lock(state_->mutex);
    state_->recent.clear();
    state_->byURL.clear();
    state_->bytes = 0;
}

void ImageLoader::removeAll() {
    removeAllFromMemory();
    Files::removeItem(state_->folder());
}

}  // namespace qm::platform::media

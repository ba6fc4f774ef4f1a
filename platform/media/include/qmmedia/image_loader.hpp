// Loads pictures from http(s) URLs through the platform's URL session, with a memory cache
// (least recently used first out, bounded by decoded bytes) and a disk cache in the app's
// caches folder (one file per URL, named by a hash of the URL; bounded by bytes, the files
// used least recently removed first).
//
//     ImageLoader loader;
//     loader.load("https://example.com/banner.gif", [](std::shared_ptr<Image> image, const std::string& error) {
//         if (image) imageView->setImage(image); else log(error);
//     });
//
// Completions always run later on the main queue, never inside load(). Requests for a URL
// that is already being loaded share that load. A disk-cache file that no longer decodes is
// removed and the picture downloaded again. Only answers with a 2xx status that decode are
// cached. Safe from any thread; the loader may be destroyed with loads under way (their
// completions still run).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "qmplatform/image.hpp"

namespace qm::platform {
class URLSession;
}

namespace qm::platform::media {

class ImageLoader {
public:
    struct Options {
        // Below Sandbox::cachesDirectory().
        std::string folderName = "qm_images";
        // Decoded bytes (4 per pixel per frame) kept in memory.
        std::size_t memoryCapacityBytes = 32u * 1024 * 1024;
        // Bytes of the files kept on disk; beyond it the least recently used files go.
        std::size_t diskCapacityBytes = 64u * 1024 * 1024;
        // Bytes of one downloaded picture.
        std::size_t maximumDownloadBytes = 16u * 1024 * 1024;
        // Seconds without progress before a download fails.
        double timeoutSeconds = 30;
    };
    using Completion = std::function<void(std::shared_ptr<Image> image, const std::string& error)>;

    ImageLoader();
    explicit ImageLoader(Options options);
    ~ImageLoader();
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    // One picture, from memory, disk or the network; the completion gets it, or an error text.
    void load(const std::string& url, Completion completion);

    // The picture when it is in the memory cache (and marks it recently used).
    std::shared_ptr<Image> cachedImage(const std::string& url) const;
    // Where the URL's picture is kept on disk (whether or not it is there).
    std::string diskPath(const std::string& url) const;
    std::size_t memoryBytes() const;
    void removeAllFromMemory();
    // Memory and disk.
    void removeAll();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace qm::platform::media

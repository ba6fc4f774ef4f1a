#include "qmplatform/media_probe.hpp"

#include <mutex>
#include <utility>

#include "qmbase/no_destructor.hpp"

namespace qm::platform {

namespace {

struct ProbeChoice {
    std::mutex mutex;
    std::shared_ptr<MediaProbe> probe;
};

ProbeChoice& probeChoice() {
    static NoDestructor<ProbeChoice> choice;
    return *choice;
}

}  // namespace

std::shared_ptr<MediaProbe> MediaProbe::current() {
    ProbeChoice& choice = probeChoice();
    std::lock_guard lock(choice.mutex);
    return choice.probe;
}

void MediaProbe::setCurrent(std::shared_ptr<MediaProbe> probe) {
    std::shared_ptr<MediaProbe> previous;  // released after the lock
    ProbeChoice& choice = probeChoice();
    std::lock_guard lock(choice.mutex);
    previous = std::exchange(choice.probe, std::move(probe));
}

}  // namespace qm::platform

#include "inapp/qmInAppCloseButton.hpp"

#include "core/QMRuntime.hpp"
#include <algorithm>

#include "qmplatform/dispatch.hpp"
#include "qmui/view.hpp"

namespace qm::inapp {

void qmCheckCrossBtnInPopups(const Value& closeButton, const Value& notificationID) {
    const long long rule = closeButton.integerValue();
    Value record = rule == 0      ? Value{{"qmShowCloseBtn", false}}
                 : rule == 5000   ? Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", 0}}
                                  : Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", rule}};
    QMRuntime::shared().updateContainer("qmInAppCloseBtnConditions", [&](Value& conditions) {
        if (!conditions.isDictionary()) conditions = Value::dictionary();
        conditions.set(notificationID.description(), std::move(record));
    });
}

void qmAddCloseButtonInPopupstoParentView(const std::shared_ptr<platform::View>& parent,
                                          const std::shared_ptr<platform::View>& button, const Value& notificationID) {
    if (!parent || !button) return;
    const Value record = QMRuntime::shared().container("qmInAppCloseBtnConditions")[notificationID.description()];
    if (record.isDictionary() && record.contains("qmShowCloseBtn") && !record["qmShowCloseBtn"].boolValue()) return;
    // A negative delay counts as none.
    const double delay = std::max(0.0, record["qmShowCloseBtntimeDelay"].doubleValue());
    std::weak_ptr<platform::View> weakParent = parent;
    platform::Queue::main().asyncAfter(delay, [weakParent, button] {
        if (auto p = weakParent.lock()) p->addSubview(button);
    });
}

}  // namespace qm::inapp

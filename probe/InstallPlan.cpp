#include "probe/InstallPlan.h"

#include <utility>

QStringList InstallPlan::descriptions() const {
    QStringList texts;
    for (const InstallStep& step : steps) {
        texts << step.description;
    }
    return texts;
}

void InstallPlan::run() {
    const QList<InstallStep> spent = std::exchange(steps, {});
    for (const InstallStep& step : spent) {
        step.run();
    }
}

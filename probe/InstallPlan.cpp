#include "probe/InstallPlan.h"

#include <utility>

QStringList InstallPlan::descriptions() const {
    QStringList texts;
    for (const InstallStep& step : steps) {
        texts << step.description;
    }
    return texts;
}

PlanSummary InstallPlan::summary() const {
    return {address, bytes, unit, unitSize, count(), descriptions()};
}

void InstallPlan::run(const std::function<void(const InstallStep&)>& starting) {
    const QList<InstallStep> spent = std::exchange(steps, {});
    for (const InstallStep& step : spent) {
        if (starting) {
            starting(step);
        }
        step.run();
    }
}

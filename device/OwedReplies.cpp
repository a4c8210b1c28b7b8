#include "device/OwedReplies.h"

void OwedReplies::record(const QString& devicePath, int bytes, quint32 deadlineMs) {
    if (bytes <= 0) {
        return;
    }
    const std::lock_guard lock(mutex);
    debts[devicePath].append(Debt{bytes, deadlineMs});
}

QList<OwedReplies::Debt> OwedReplies::take(const QString& devicePath) {
    const std::lock_guard lock(mutex);
    return debts.take(devicePath);
}

bool OwedReplies::owes(const QString& devicePath) const {
    const std::lock_guard lock(mutex);
    return debts.contains(devicePath);
}

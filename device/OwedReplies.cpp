#include "device/OwedReplies.h"

OwedReplies::Owed OwedReplies::take(const QString& devicePath) {
    const std::lock_guard lock(mutex);
    return owed.take(devicePath);
}

void OwedReplies::put(const QString& devicePath, const Owed& record) {
    const std::lock_guard lock(mutex);
    if (record.isEmpty())
        owed.remove(devicePath);
    else
        owed.insert(devicePath, record);
}

bool OwedReplies::owes(const QString& devicePath) const {
    const std::lock_guard lock(mutex);
    return owed.contains(devicePath);
}

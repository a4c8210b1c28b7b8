#pragma once

#include <QObject>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// One progress(step, steps, taskdesc, units) report, null texts kept apart from empty ones.
struct ProgressReport {
    int step = 0;
    int steps = 0;
    std::optional<std::string> taskdesc;
    std::optional<std::string> units;

    static ProgressReport start(int total, const char* text) {
        return {0, total, std::string(text), std::string("bytes")};
    }
    static ProgressReport at(int position) { return {position, -1, std::nullopt, std::nullopt}; }

    friend bool operator==(const ProgressReport&, const ProgressReport&) = default;
    friend void PrintTo(const ProgressReport& r, std::ostream* os) {
        *os << '(' << r.step << ',' << r.steps << ',' << r.taskdesc.value_or("null") << ','
            << r.units.value_or("null") << ')';
    }
};

// Records every progress report of `sender`'s progress signal.
template <typename Sender>
class ProgressLog {
public:
    explicit ProgressLog(Sender& sender) {
        QObject::connect(&sender, &Sender::progress,
                         [this](int step, int steps, const char* taskdesc, const char* units) {
                             reports.push_back({step, steps, text(taskdesc), text(units)});
                         });
    }
    std::vector<ProgressReport> reports;

private:
    static std::optional<std::string> text(const char* s) {
        return s != nullptr ? std::optional<std::string>(s) : std::nullopt;
    }
};

#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>

#include <functional>

// Answers every message box that opens while it lives with its OK button, as a user
// would, and notes what it showed: the generation-3 page's failures reach the
// application's critical "Error" box, the generation-2 page shows its own warning box.
// It watches the application's events (a box shows inside its own event loop), so no real
// time passes waiting for it.
class MessageBoxWatcher : public QObject {
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    MessageBoxWatcher();
    ~MessageBoxWatcher() override;

    QList<Box> boxes;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

#include "MessageBoxWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>

MessageBoxWatcher::MessageBoxWatcher() {
    QApplication::instance()->installEventFilter(this);
}

MessageBoxWatcher::~MessageBoxWatcher() {
    QApplication::instance()->removeEventFilter(this);
}

bool MessageBoxWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) {
        if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            boxes.append({box->windowTitle(), box->text(), box->icon()});
            // Clicked once the box runs its own event loop.
            QMetaObject::invokeMethod(
                box,
                [box] {
                    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
                        ok->click();
                    } else {
                        box->reject();
                    }
                },
                Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(watched, event);
}

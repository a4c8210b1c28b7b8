#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;

// A labelled line edit for a file path with a "..." button that opens the file dialog.
class FileChooser : public QWidget {
    Q_OBJECT

public:
    // `caption` labels the line edit (followed by ": ") and titles the dialog; `filter`
    // restricts the dialog's list (for example "*.bin").
    FileChooser(const QString& caption, const QString& path, const QString& filter,
                QWidget* parent = nullptr);

    // The line edit's current text.
    QString text() const;

Q_SIGNALS:
    // Emitted on every change of the text, by typing or by browse().
    void textChanged(const QString& text);

public Q_SLOTS:
    // Opens the file dialog at the current text; a chosen file replaces the text, a
    // cancelled dialog changes nothing.
    void browse();

private:
    QLineEdit* lineEdit = nullptr;
    QString caption;
    QString filter;
};

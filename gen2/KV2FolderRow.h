#pragma once

#include "gen2/KV2Variant.h"

#include <QWidget>

class QBoxLayout;
class QLabel;
class QPushButton;

// Where the generation-2 page takes its image from: a line naming the firmware folder that
// holds the chosen variant's file (or would, with the file's absence said), and buttons to
// choose another folder, remembered for the next runs, or to go back to searching the
// firmware folders.
class KV2FolderRow : public QWidget {
    Q_OBJECT

public:
    // The buttons go at the start of `buttons` (the page's row of its Install button).
    KV2FolderRow(QWidget* parent, QBoxLayout* buttons);

    // The path of the image file of a variant (kv_<family>_<clocking>.bin): in the chosen
    // folder, else in the first firmware folder that holds one of that name, else in the
    // first firmware folder. Also shows that folder on the line.
    QString imagePath(kv2::TargetFamily family, kv2::JtagClocking clocking);

    // Takes `folder` as the user's choice (and remembers it); an empty one goes back to
    // searching the firmware folders.
    void useFolder(const QString& folder);

Q_SIGNALS:
    // The folder the page installs from may have changed.
    void folderChanged();

private:
    void chooseFolder();

    QLabel* line = nullptr;
    QPushButton* choose = nullptr;
    QPushButton* searchDefault = nullptr;
    QString lastFolder;
};

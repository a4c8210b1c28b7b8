#pragma once

#include "app/HPath.h"

#include <QString>
#include <QStringList>

// The folder chosen for the generation-2 images: the start-up argument, else the folder the
// user chose in the window (remembered from run to run), else the empty path, for which
// the firmware folders are searched. Read by the generation-2 page to find its image.
extern HPath firmwareDirectory;

// The firmware directory that start-up chooses from the arguments left after the toolkit
// took its own options: the first argument when there is one (later ones are ignored),
// otherwise the directory of the program file. The argument is not checked for existence.
HPath firmwareDirectoryFromArguments(const QStringList& arguments);

// The firmware folders in the order the window looks in them: the chosen folder first
// (when there is one), then those of FirmwareLibrary::folders.
QStringList firmwareFolders();

// The folder the user chose in the window, kept in kvtool/kvtool.conf under
// $XDG_CONFIG_HOME (~/.config); empty when none was chosen or the choice was undone.
QString rememberedFirmwareFolder();
// Remembers `folder` as the user's choice; an empty one forgets the choice.
void rememberFirmwareFolder(const QString& folder);

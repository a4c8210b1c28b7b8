#pragma once

#include "app/HPath.h"

#include <QStringList>

// The directory that holds the generation-2 firmware images: the empty path until start-up
// sets it, read by the generation-2 page to build image file names.
extern HPath firmwareDirectory;

// The firmware directory that start-up chooses from the arguments left after the toolkit
// took its own options: the first argument when there is one (later ones are ignored),
// otherwise the directory of the program file. The argument is not checked for existence.
HPath firmwareDirectoryFromArguments(const QStringList& arguments);

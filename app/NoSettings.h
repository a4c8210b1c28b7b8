#pragma once

// kvtool keeps its one setting in a file of its own (the firmware folder chosen in the
// window, see FirmwareDirectory), and writes none on Qt's behalf: Qt's file dialog would
// otherwise remember its history, its last directory and its view in the per-user file
// ~/.config/QtProject.conf, which every Qt program shares. After this call the per-user
// settings of the process lie where nothing can be read or written, so the dialog starts
// afresh each time (at the chosen file's directory) and leaves nothing behind. Call it
// once, before any window exists.
void keepNoSettings();

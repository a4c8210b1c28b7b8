#pragma once

#include <QString>

#include <optional>

// What an install is doing, as a kind rather than a sentence: the steps of both
// generations' installs each belong to one of these, so that a front end (or another
// process reading a session's events) tells them apart without reading display texts.
enum class InstallPhase {
    Connecting,            // connecting to the loader (generation 3; retried while busy)
    EnteringBootloader,    // asking the application to restart into its bootloader
    WaitingForBootloader,  // waiting for the restarted probe's bootloader to answer
    Preparing,             // checking and completing the image for this probe
    Erasing,               // erasing the probe's memory for the image
    Writing,               // sending the image (generation 3: write; generation 2: program)
    Verifying,             // having the probe check what it holds against the image
    Finishing,             // ending the download or disconnecting from the loader
    Restarting,            // waiting for the probe to run again and reading what it runs
};

// "waitingForBootloader" and so on: the name of a phase in serialised events.
QString phaseName(InstallPhase phase);
std::optional<InstallPhase> phaseFromName(const QString& name);

#pragma once

class Console;
struct CliOptions;

// The commands of kvtool-cli. Each writes its result (text, or JSON with --json) and
// returns normally when it did its job; every other outcome is thrown as CliFailure,
// which CliApplication reports with its exit code.
void runList(const CliOptions& options, Console& console);
void runInfo(const CliOptions& options, Console& console);
void runImage(const CliOptions& options, Console& console);
void runInstall(const CliOptions& options, Console& console);
// install on several probes at once (--all, several --serial), and watch.
void runRackInstall(const CliOptions& options, Console& console);
void runWatch(const CliOptions& options, Console& console);
// update: each probe chosen gets the newest image of the firmware folders that fits it.
void runUpdate(const CliOptions& options, Console& console);
void runDoctor(const CliOptions& options, Console& console);

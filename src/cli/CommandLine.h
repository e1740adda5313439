#pragma once

// The command line: `stowkeep runs`, `stowkeep files`, `stowkeep restore` and `--help`,
// for scripts and for machines without a desktop. They need no display, start no tray
// icon and take no single-instance lock, so they work while the tray program runs; the
// catalog is only read.

// The arguments ask for a command rather than for the tray program.
bool isCommandLine(int argc, char* argv[]);
// Runs the command with a QCoreApplication of its own; returns the exit status.
int runCommandLine(int argc, char* argv[]);

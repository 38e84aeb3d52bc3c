// The installer's dialogue and its fixed sequence of phases.
#pragma once

// Exit statuses other than 0 (success).
enum {
    EXIT_NO_DRIVE_LETTER = 1,  // input ended before a drive letter was given
    EXIT_NOT_UNPACKED = 2,     // the extractor left no application behind
    EXIT_LAUNCH_FAILED = 3     // the installed application could not be started
};

// Runs the whole installation and ends the process.
[[noreturn]] void RunInstaller();

#pragma once

// Exit statuses of midi-updater-cli.
enum ExitCode : int {
    EXIT_OK = 0,
    EXIT_FAILED = 1, // the update failed, or the file was rejected or could not be opened
    EXIT_USAGE = 2,  // the command line was wrong
    EXIT_INTERRUPTED = 130,
};

// Exit codes of the server. The host turns each into an event-log text, so a
// code must only be used for what that text says.
#pragma once

enum ExitCode : int {
    exitSuccess = 0,
    exitInvalidArgument = 1,
    exitUnsupportedHardware = 2,
    exitCouldNotOpenResponseFile = 4,
    exitCouldNotParseResponseFile = 5,
    exitCouldNotOpenLogFile = 6,
    exitServerError = 7,
};

#pragma once

// The exit statuses of veltrano-usbctl; scripts test them, so they never change meaning.
enum ECtlExitCode {
    ExitSuccess = 0,
    // The core refused or a call failed, a record could not be read, or the stick stayed mounted.
    ExitFailure = 1,
    // unmount: no outcome within --timeout.
    ExitTimeout = 2,
    ExitUsage = 3,
    // No bus, or the metering core is not on it.
    ExitNoCore = 4
};

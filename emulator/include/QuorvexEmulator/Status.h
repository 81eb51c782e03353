// Status codes returned by the emulated QuorvexSDK. 0 is success; every failure is negative.
#pragma once

namespace qx_emulator {

enum Status : int {
    QXE_OK = 0,
    QXE_FAILED = -1,            // the operation failed for a reason not listed below
    QXE_INVALID_HANDLE = -2,    // an empty camera or route handle
    QXE_NOT_OPEN = -3,          // the camera must be opened first
    QXE_ALREADY_OPEN = -4,      // QxOpen on a camera that is open already
    QXE_BUSY = -5,              // the camera is in use (streaming, or opened elsewhere)
    QXE_INVALID_ARGUMENT = -6,  // an argument is out of range or malformed
    QXE_NOT_SUPPORTED = -7,     // the camera has no such feature
    QXE_IO_ERROR = -8,          // a file could not be read or written
    QXE_NO_DEVICE = -9,         // the camera is gone (its configuration was replaced)
    QXE_NOT_STREAMING = -10,    // QxStopStreaming on a camera that is not streaming
};

}  // namespace qx_emulator

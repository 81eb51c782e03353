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
    QXE_NO_ACK = -11,           // no I2C device answers at that bus and address
    QXE_NO_REGISTER = -12,      // the device has no register at that address
    QXE_READ_ONLY = -13,        // a write to a read-only register
    QXE_NO_FX3_DEVICE = -14,    // QxUpgradeFX3FW: no camera is in USB program mode
    QXE_IMAGE_TRUNCATED = -15,  // the image file ends early
    QXE_BAD_IMAGE = -16,        // the file is not a valid image of its kind
    QXE_BAD_CHECKSUM = -17,     // the image's content does not match its CRC-32
    QXE_WRONG_TARGET = -18,     // the image is firmware for another chip (USB controller / sensor)
    QXE_WRONG_PRODUCT = -19,    // the image (firmware, product information) is for another product
    QXE_NO_BOOTDATA = -20,      // the boot-data EEPROM holds no valid header
    QXE_ROUTE_CONFLICT = -21,   // the routes would feed one sink pad from two links
    QXE_IMU_DISABLED = -22,     // the IMU is disabled (QX_IMU_MODE DISABLE)
    QXE_WRONG_IMU_MODE = -23,   // the IMU runs in a mode that does not give this data
    QXE_PROFILE_DISABLED = -24, // the camera's OSP profile flag is DISABLED
};

}  // namespace qx_emulator

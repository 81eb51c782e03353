// QuorvexSDK: camera discovery, capture, controls, registers, firmware, boot data,
// profiles, media routes, IMU and calibration for USB (UVC) and MIPI CSI-2 cameras.
//
// Unless stated otherwise a function returns an int status: 0 on success, a negative
// value on failure. Out-values are written through references or caller-owned buffers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QxEnums.h"
#include "QxExport.h"
#include "QxHandles.h"
#include "QxRecords.h"

// Library, discovery, lifecycle and device information
QX_SDK_API void HelloQuorvexSDK();
QX_SDK_API int QxSetLogFile(const std::string& path);
QX_SDK_API void QxSetLogLevel(QX_LOG_LEVEL level);
QX_SDK_API int QxDiscoverCameraDevices(std::vector<std::string>& devices);
QX_SDK_API std::shared_ptr<QxCamera> QxInitialCameraDevice(int index);
QX_SDK_API int QxOpen(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxClose(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxIsQuorvexCamera(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGetDeviceName(std::shared_ptr<QxCamera> camera, std::string& name);
QX_SDK_API int QxGetDevicePath(std::shared_ptr<QxCamera> camera, std::string& path);
QX_SDK_API int QxGetDeviceInterfaceType(std::shared_ptr<QxCamera> camera, QX_CAMERA_INTERFACE_TYPE& type);
QX_SDK_API int QxGetDeviceProductType(std::shared_ptr<QxCamera> camera, QX_CAMERA_PRODUCT_TYPE& type);
QX_SDK_API int QxGetHardwareID(std::shared_ptr<QxCamera> camera, std::string& hardwareId);
QX_SDK_API int QxGetUSBDeviceSpeed(std::shared_ptr<QxCamera> camera, QX_USB_DEVICE_SPEED& speed);

// Formats, streaming and frame capture
QX_SDK_API int QxGetFormatList(std::shared_ptr<QxCamera> camera, std::vector<QxFormat>& formats);
QX_SDK_API int QxSetFormat(std::shared_ptr<QxCamera> camera, QxFormat format);
QX_SDK_API int QxStartStreaming(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxStopStreaming(std::shared_ptr<QxCamera> camera);
// Waits up to timeout milliseconds for a frame of the current format, copies it to the start
// of buffer and stores its length in bytes in *size.
QX_SDK_API QX_CAPTURE_RESULT QxGetImage(std::shared_ptr<QxCamera> camera, unsigned char* buffer, int* size,
                                        unsigned short timeout);

// Image-processing controls
QX_SDK_API int QxSetUVCImageProcessing(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property,
                                       long value, int flag);
QX_SDK_API int QxGetUVCImageProcessing(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property,
                                       long& value, int& flag);
QX_SDK_API int QxGetUVCImageProcessingRange(std::shared_ptr<QxCamera> camera, QX_UVC_IMAGE_PROPERTIES property,
                                            long& min, long& max, long& step, long& defaultValue);
QX_SDK_API int QxSetISPImageProcessing(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property,
                                       int value);
QX_SDK_API int QxSetISPImageProcessingDefault(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGetISPImageProcessing(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property,
                                       int& value, int& flag);
QX_SDK_API int QxGetISPImageProcessingRange(std::shared_ptr<QxCamera> camera, QX_ISP_IMAGE_PROPERTIES property,
                                            int& min, int& max, int& step, int& defaultValue);
QX_SDK_API int QxGetCurrentGain(std::shared_ptr<QxCamera> camera, unsigned char& gain);
QX_SDK_API int QxGetCurrentExposure(std::shared_ptr<QxCamera> camera, unsigned int& exposure);
QX_SDK_API int QxGetMaxFPS(std::shared_ptr<QxCamera> camera, unsigned char& fps);
QX_SDK_API int QxSetMaxFPS(std::shared_ptr<QxCamera> camera, unsigned char fps);
QX_SDK_API int QxGetThroughPut(std::shared_ptr<QxCamera> camera, unsigned short& throughput);
QX_SDK_API int QxSetThroughPut(std::shared_ptr<QxCamera> camera, unsigned short throughput);

// Register access
QX_SDK_API int QxGenericI2CRead(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b,
                                unsigned int c, unsigned short d, unsigned char* data);
QX_SDK_API int QxGenericI2CWrite(std::shared_ptr<QxCamera> camera, unsigned char a, unsigned char b,
                                 unsigned int c, unsigned short d, unsigned char* data);
QX_SDK_API int QxAP1302I2CRead(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short& value);
QX_SDK_API int QxAP1302I2CWrite(std::shared_ptr<QxCamera> camera, unsigned short address, unsigned short value);
QX_SDK_API int QxAP1302SensorRegisterRead(std::shared_ptr<QxCamera> camera, unsigned short first,
                                          unsigned short second, unsigned short& value);
QX_SDK_API int QxAP1302SensorRegisterWrite(std::shared_ptr<QxCamera> camera, unsigned short first,
                                           unsigned short second, unsigned short third);

// Firmware and boot data
QX_SDK_API int QxResetUVC(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGetUSBFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version);
QX_SDK_API int QxGetZENAFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version);
QX_SDK_API int QxGetSensorFirmwareVersion(std::shared_ptr<QxCamera> camera, std::string& version);
QX_SDK_API int QxGetSensorUniqueID(std::shared_ptr<QxCamera> camera, std::string& uniqueId);
QX_SDK_API int QxGetHeaderVersion(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGotoUSBProgramMode(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxUpgradeFX3FW(QX_FX3_FW_TARGET target, std::string path, std::function<void(int)> progress);
QX_SDK_API QX_UPGRADE_RESULT QxUpgradeSensorFW(std::shared_ptr<QxCamera> camera, std::string path,
                                               std::function<void(int)> progress);
QX_SDK_API int QxGetBootdataHeaderV2(std::shared_ptr<QxCamera> camera, std::unique_ptr<QxHeaderV2>& header);
QX_SDK_API int QxGetBootdataHeaderV3(std::shared_ptr<QxCamera> camera, std::unique_ptr<QxHeaderV3>& header);
QX_SDK_API int QxGetBootdataHeaderV2FromFile(std::string path, std::unique_ptr<QxHeaderV2>& header);
QX_SDK_API int QxGetBootdataHeaderV3FromFile(std::string path, std::unique_ptr<QxHeaderV3>& header);

// Profiles, sensor configuration and counters
QX_SDK_API int QxGetOSPProfileFlag(std::shared_ptr<QxCamera> camera, QX_OSP_PROFILE_FLAG& flag);
QX_SDK_API int QxSetOSPProfileFlag(std::shared_ptr<QxCamera> camera, QX_OSP_PROFILE_FLAG flag);
QX_SDK_API int QxGetOSPProfileConfig(std::shared_ptr<QxCamera> camera, std::string& config);
QX_SDK_API int QxLoadProfileConfig(std::shared_ptr<QxCamera> camera, std::string config);
QX_SDK_API int QxActivateProfileStreaming(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxActivateProfileImageProcessing(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGetTimestamp(std::shared_ptr<QxCamera> camera, float& timestamp);
QX_SDK_API int QxResetTimestamp(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxGetFrameCount(std::shared_ptr<QxCamera> camera, unsigned char& count);
QX_SDK_API int QxResetFrameCount(std::shared_ptr<QxCamera> camera);
QX_SDK_API int QxExportSensorConfig(std::shared_ptr<QxCamera> camera, std::string path);
QX_SDK_API int QxDecodeSensorConfig(std::string binaryPath, std::string jsonPath);

// Media routes
QX_SDK_API int QxResetActiveRoutes();
QX_SDK_API std::shared_ptr<QxRoute> QxLoadRouteYaml(const std::string& path);
QX_SDK_API int QxActivateYamlRoutes(std::shared_ptr<QxRoute> routes);

// IMU
QX_SDK_API int QxGetSensorWorkMode(std::shared_ptr<QxCamera> camera, QX_SENSOR_MODE& mode);
QX_SDK_API int QxEnableIMUMode(std::shared_ptr<QxCamera> camera, QX_IMU_MODE mode);
QX_SDK_API int QxRebootIMUMode(std::shared_ptr<QxCamera> camera, QX_IMU_MODE mode);
QX_SDK_API int QxGetIMUAccData(std::shared_ptr<QxCamera> camera, std::vector<float>& data,
                               QX_IMU_SELF_TEST_MODE selfTest);
QX_SDK_API int QxGetIMUGyrData(std::shared_ptr<QxCamera> camera, std::vector<float>& data,
                               QX_IMU_SELF_TEST_MODE selfTest);
QX_SDK_API int QxGetISPUData(std::shared_ptr<QxCamera> camera, QxImuIspu& ispu);
QX_SDK_API int QxGetIMUTemperature(std::shared_ptr<QxCamera> camera, float& temperature);
QX_SDK_API int QxGetIMUSensorTime(std::shared_ptr<QxCamera> camera, float& sensorTime);

// Calibration and product information
QX_SDK_API int QxFlashProductInfo(std::shared_ptr<QxCamera> camera, std::string path);
QX_SDK_API int QxWriteIntrinsics(std::shared_ptr<QxCamera> camera, QxIntrinsics intrinsics);
QX_SDK_API int QxGetIntrinsics(std::shared_ptr<QxCamera> camera, QxIntrinsics& intrinsics);

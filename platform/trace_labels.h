// Trace labels that look wrong and are right.  The log is a contract that
// readers of logs match line by line, so a few labels stay exactly as the
// contract fixed them: a misspelling, and functions whose lines carry another
// function's name.  Every such label is here, named for what it is, and the
// code writes it from here; "correcting" one breaks every reader of logs.
// (Ordinary labels are written in place; each says the function it is in.)
#pragma once

namespace tlog::labels {

// GetDeviceHandle's check of a null name: "paramter" is the contract's.
inline constexpr char kGetDeviceHandleInvalidParamter[] = "ERROR GetDeviceHandle invalid paramter ";

// GetMountDeviceName writes its lines under the name GetDeviceHandle (and
// spells "parameter" right: it is the other function's line that does not).
inline constexpr char kMountNameEnter[] = "ENTER GetDeviceHandle ";
inline constexpr char kMountNameNullPath[] = "ERROR GetDeviceHandle invalid parameter ";
inline constexpr char kMountNamePath[] = "INFO GetDeviceHandle pPdo ";
inline constexpr char kMountNameCreateFile[] = "ERROR GetDeviceHandle CreateFile ";
inline constexpr char kMountNameQuery[] = "ERROR GetDeviceHandle IOCTL_MOUNTDEV_QUERY_DEVICE_NAME ";
inline constexpr char kMountNameLeave[] = "LEAVE GetDeviceHandle ";

// GetUSBDeviceInfo reports the hub's port count under the counting
// function's name, written twice.
inline constexpr char kHubPortsFailed[] = "ERROR GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts";
inline constexpr char kHubPorts[] = "INFO GetUsbHubNumberOfPorts GetUsbHubNumberOfPorts ";

}  // namespace tlog::labels

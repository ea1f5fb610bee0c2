// The module presents itself as one source file, "src/varnok/ostrel", whose
// statements sit on fixed lines. Code objects and traceback entries carry these
// numbers, so a traceback reads the same on every build.
#pragma once

namespace ostrel::line {

inline constexpr const char* kFile = "src/varnok/ostrel";
inline constexpr const char* kInitName = "init varnok.ostrel"; // the module body's traceback entries

// Module body.
inline constexpr int kHeader = 1; // set-up before the first statement, and __test__
inline constexpr int kImportPsutil = 1;
inline constexpr int kImportPyudev = 2;
inline constexpr int kImportEnum = 3;
inline constexpr int kImportUnion = 4;
inline constexpr int kImportLogger = 5;
inline constexpr int kDeviceType = 9;

// get_mac_address
inline constexpr int kMacDef = 15;
inline constexpr int kMacPreferredQuery = 18;
inline constexpr int kMacPreferredName = 19;
inline constexpr int kMacPreferredRecords = 20;
inline constexpr int kMacPreferredFamily = 21;
inline constexpr int kMacPreferredReturn = 22;
inline constexpr int kMacFallbackQuery = 24;
inline constexpr int kMacFallbackRecords = 25;
inline constexpr int kMacFallbackFamily = 26;
inline constexpr int kMacFallbackName = 27;
inline constexpr int kMacFallbackReturn = 28;
inline constexpr int kMacNone = 29;
inline constexpr int kMacHandler = 31;
inline constexpr int kMacEnd = 32;

// get_disk_serial_number
inline constexpr int kDiskDef = 38;
inline constexpr int kDiskContext = 41;
inline constexpr int kDiskDevices = 42;
inline constexpr int kDiskContains = 43;
inline constexpr int kDiskReturn = 44;
inline constexpr int kDiskNone = 45;
inline constexpr int kDiskHandler = 47;
inline constexpr int kDiskEnd = 48;

// get_machine_code
inline constexpr int kCodeDef = 52;
inline constexpr int kCodeMac = 59;
inline constexpr int kCodeMacCall = 60;
inline constexpr int kCodeDisk = 61;
inline constexpr int kCodeDiskCall = 62;
inline constexpr int kCodeCuda = 63;
inline constexpr int kCodeCudaCall = 64;
inline constexpr int kCodeNone = 66;
inline constexpr int kCodeHandler = 68;
inline constexpr int kCodeEnd = 69;

// get_gpu_uuid
inline constexpr int kGpuDef = 71;
inline constexpr int kGpuImport = 73;
inline constexpr int kGpuRun = 74;
inline constexpr int kGpuDecode = 75;
inline constexpr int kGpuHandler = 77;
inline constexpr int kGpuEnd = 78;

// get_machine_string
inline constexpr int kStringDef = 80;
inline constexpr int kStringJoin = 81;
inline constexpr int kStringEnd = 81;

// Command-line report.
inline constexpr int kReportTest = 85;
inline constexpr int kReportMac = 87;
inline constexpr int kReportDisk = 88;
inline constexpr int kReportCuda = 89;
inline constexpr int kReportCudaLine = 90;
inline constexpr int kReportMacLine = 91;
inline constexpr int kReportDiskLine = 92;
inline constexpr int kReportHandler = 94;
inline constexpr int kBodyEnd = 94;

} // namespace ostrel::line

#pragma once

#include <cerrno>
#include <cstdint>

// Every error code the engine raises, and the message-table numbers its texts use.
// One place, so a host can match codes and a reader can see the whole vocabulary.
namespace Common::Codes {

constexpr uint32_t kFacility = 0x1D;
constexpr uint32_t Engine(uint32_t number) { return (kFacility << 16) | (number & 0xFFFF); }

// The Win32 error number a Windows host would have seen for a failed system call (errno).
// EXDEV and ELOOP are how the directory layer reports a path that leaves its folder or a
// link it may not follow: Windows calls both a bad path name. Unknown numbers give 0:
// the caller reports the generic failure instead of a made-up Win32 number.
constexpr uint32_t Win32FromErrno(int error)
{
    switch (error) {
    case ENOENT: return 2;            // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;           // ERROR_PATH_NOT_FOUND
    case EMFILE: case ENFILE: return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case EACCES: case EPERM: case EISDIR: return 5;  // ERROR_ACCESS_DENIED (a folder opened as a file too)
    case EBADF: return 6;             // ERROR_INVALID_HANDLE
    case ENOMEM: return 8;            // ERROR_NOT_ENOUGH_MEMORY
    case EROFS: return 19;            // ERROR_WRITE_PROTECT
    case ENXIO: case ENODEV: case ENOMEDIUM: return 21;  // ERROR_NOT_READY
    case EBUSY: case ETXTBSY: return 32;  // ERROR_SHARING_VIOLATION
    case ENOTSUP: return 50;          // ERROR_NOT_SUPPORTED (EOPNOTSUPP is the same number on Linux)
    case EEXIST: return 80;           // ERROR_FILE_EXISTS
    case EINVAL: return 87;           // ERROR_INVALID_PARAMETER
    case ENOSPC: return 112;          // ERROR_DISK_FULL
    case ESPIPE: return 132;          // ERROR_SEEK_ON_DEVICE
    case ENOTEMPTY: return 145;       // ERROR_DIR_NOT_EMPTY
    case EXDEV: case ELOOP: return 161;  // ERROR_BAD_PATHNAME
    case ENAMETOOLONG: return 206;    // ERROR_FILENAME_EXCED_RANGE
    case EFBIG: return 223;           // ERROR_FILE_TOO_LARGE
    case EOVERFLOW: return 534;       // ERROR_ARITHMETIC_OVERFLOW
    case EINTR: case ECANCELED: return 1223;  // ERROR_CANCELLED
    case EIO: return 1117;            // ERROR_IO_DEVICE
    case EILSEQ: return 1113;         // ERROR_NO_UNICODE_TRANSLATION
    case EMLINK: return 1142;         // ERROR_TOO_MANY_LINKS
    case EDQUOT: return 1295;         // ERROR_DISK_QUOTA_EXCEEDED
    case ETIMEDOUT: return 1460;      // ERROR_TIMEOUT
    default: return 0;
    }
}

constexpr uint32_t kSystemCallFailed = 0x80004005;  // E_FAIL: an errno without a Win32 counterpart

// A failed system call (errno) as the HRESULT-style code a Windows host would have got:
// 0x80070000 | its Win32 number. Values below 1 are no errno and stay as they are.
constexpr uint32_t FromSystemError(int error)
{
    if (error < 1) return static_cast<uint32_t>(error);
    const uint32_t win32 = Win32FromErrno(error);
    return win32 != 0 ? 0x80070000u | win32 : kSystemCallFailed;
}

// Entry and flows
constexpr uint32_t kCancelled = 0x1D0001;
constexpr uint32_t kInvalidArgument = 0x1D0002;
constexpr uint32_t kOutOfMemory = 0x1D0003;
constexpr uint32_t kRegistryOperationFailed = 0x1D0004;
// A C++ exception other than Common::Error (and other than std::bad_alloc, which is
// kOutOfMemory) reached an entry or the host program.
constexpr uint32_t kUnexpectedException = 0x1D0005;
constexpr uint32_t kPlatformUndetermined = 0x1D0007;
constexpr uint32_t kNo64BitProcessor = 0x1D0008;
constexpr uint32_t kNoDriverFound = 0x1D0192;
constexpr uint32_t kStorageRegistration = 0x1D0193;
constexpr uint32_t kDevicesWithoutDriver = 0x1D0194;
constexpr uint32_t kSourceMediaNeeded = 0x1D0195;
constexpr uint32_t kInfClassRejected = 0x1D0198;
constexpr uint32_t kNoInfProcessor = 0x1D0199;
constexpr uint32_t kInvalidFormat = 0x1D019A;  // also: INF without a class GUID
constexpr uint32_t kNoInfFound = 0x1D019B;
constexpr uint32_t kNoSearchLocation = 0x1D019C;
constexpr uint32_t kCopyFilesFailed = 0x1D019D;
constexpr uint32_t kServicesFailed = 0x1D019F;
constexpr uint32_t kStagingFailed = 0x1D025C;
constexpr uint32_t kDriverStoreIndex = 0x1D0261;
constexpr uint32_t kDeviceWithoutDriver = 0x1D0343;
constexpr uint32_t kShippedFileMissing = 0x1D0347;
constexpr uint32_t kInfoDeviceListed = 0x1D07D0;
constexpr uint32_t kInfoDeviceIgnored = 0x1D07D1;
constexpr uint32_t kInfoOptimisticEnd = 0x1D07D2;

// Start-up: the library refuses to run without a valid message table.
constexpr uint32_t kMessageTableInvalid = 0x1D0010;

// Offline registry and install processing
constexpr uint32_t kRegistryOpenFailed = 0x1D0190;
constexpr uint32_t kSourcesCreateFailed = 0x1D0191;
constexpr uint32_t kSectionNotFound = 0x1D032C;
constexpr uint32_t kUnsupportedRoot = 0x1D032D;
constexpr uint32_t kUnknownRegistryOperation = 0x1D033A;
constexpr uint32_t kCleanServicesKey = 0x1D0344;
constexpr uint32_t kCleanEnumeration = 0x1D0345;
constexpr uint32_t kCleanCustomStep = 0x1D0346;
constexpr uint32_t kUniqueNamesExhausted = 0x1D0349;

// Driver selection and install sections (the other codes they raise are listed above)
constexpr uint32_t kDependentInfUnreadable = 0x1D0199;  // the INF an Include line names does not parse

// INF parser results (ParseError::code), not engine error codes
constexpr uint32_t kParseOk = 0;
constexpr uint32_t kParseReadError = 1;
constexpr uint32_t kParseSyntaxError = 3;
constexpr uint32_t kParseRejected = 4;

// Local device detection
constexpr uint32_t kDevicePropertyRead = 0x1D00C8;
constexpr uint32_t kPciDeviceSet = 0x1D00C9;
constexpr uint32_t kComputerDeviceSet = 0x1D00CA;

// Hive engine
constexpr uint32_t kHiveKeyNodeUnreadable = 0xBE004E;
constexpr uint32_t kHiveInvalid = 0xBE004F;
constexpr uint32_t kHiveBaseBlockWrite = 0xBE0050;
constexpr uint32_t kHiveBaseBlockRead = 0xBE0051;
// A dirty hive (changes still in its .LOG1/.LOG2/.LOG files) that cannot be brought up to date.
constexpr uint32_t kHiveDirtyWithoutLog = 0xBE0052;     // no valid log applies to it
constexpr uint32_t kHiveLogChangesLost = 0xBE0053;      // replay stopped before entries the logs hold
constexpr uint32_t kHiveReplayInconsistent = 0xBE0054;  // the replayed hive fails the structural check
constexpr uint32_t kHiveSequenceOverflow = 0xBE0055;    // the next sequence number would wrap to 0

// File copy, CAB extraction, OEM publication and the driver store
constexpr uint32_t kCopySectionNotFound = 0x40007;  // file section, "DestinationDirs" or destination folder missing
constexpr uint32_t kCopyLineInvalid = 0x4000D;      // no destination line, or a flags field that is not a number
constexpr uint32_t kCopySourceNotFound = 0x40011;   // the source file is in none of the places searched
constexpr uint32_t kCopyNameRefused = 0x1D0270;     // a file or folder name that would leave its folder
constexpr uint32_t kCabinetRejected = 0x1D0271;     // a cabinet or entry that cannot be extracted safely

// DriverDatabase registration of boot drivers (Windows 8 and later)
constexpr uint32_t kDriverDatabaseMismatch = 0x1D0380;  // the hive's DriverDatabase does not fit the version or platform
constexpr uint32_t kDriverDatabaseUnusable = 0x1D0381;  // a value or name of it cannot be read or written as needed
constexpr uint32_t kDriverPackageNoClass = 0x1D0382;    // the INF names no readable ClassGUID

// The static record handed out when memory for a new one cannot be had.
constexpr uint32_t kAllocationFailed = 0xFFF2;

}  // namespace Common::Codes

// Numbers of the message-table texts the engine formats ("{0}" and "{1}" are their arguments).
namespace Common::Messages {

constexpr uint32_t kTableSize = 1270;

constexpr uint32_t kDeviceListed = 322;           // {0} device
constexpr uint32_t kRequestSourceMedia = 343;     // {0} file, {1} manufacturer, {2} description
constexpr uint32_t kDeviceFailed = 344;           // {0} device
constexpr uint32_t kDeviceInstalled = 345;        // {0} device
constexpr uint32_t kDeviceNoDriver = 346;         // {0} device
constexpr uint32_t kDeviceIgnored = 347;          // {0} device
constexpr uint32_t kStorageUnavailable = 349;     // {0} storage path
constexpr uint32_t kStorageAvailable = 350;       // {0} storage path
constexpr uint32_t kShippedFileOpen = 404;        // {0} file
constexpr uint32_t kShippedFileCopy = 405;        // {0} file
constexpr uint32_t kNo64BitProcessor = 428;
constexpr uint32_t kTempDirFailed = 443;
constexpr uint32_t kNoInfProcessor = 498;
constexpr uint32_t kStageCopyFailed = 624;        // {0} section, {1} INF
constexpr uint32_t kRegistryRootMissing = 626;    // {0} root or key
constexpr uint32_t kDriverCreateFailed = 627;     // {0} section, {1} INF
constexpr uint32_t kValueTypeUnexpected = 629;    // {0} value, {1} key
constexpr uint32_t kInvalidArgument = 634;        // {0} operation
constexpr uint32_t kNoStorageAccessible = 777;
constexpr uint32_t kNothingToSchedule = 781;
constexpr uint32_t kNeed64BitProcessor = 861;
constexpr uint32_t kCancelled = 1083;
constexpr uint32_t kScheduleStart = 1088;         // {0} class, {1} Windows folder
constexpr uint32_t kOptimisticEnd = 1132;         // {0} device count
constexpr uint32_t kStagingIncomplete = 1208;
constexpr uint32_t kScheduleDone = 1209;

// The driver installer: the run, the scan, install sections, registry sections,
// services and critical devices.
constexpr uint32_t kInstallWindowsFolder = 1239;     // {0} Windows folder
constexpr uint32_t kInstallNoLocation = 1240;
constexpr uint32_t kInstallNoLocationNoInf = 1241;
constexpr uint32_t kInstallNoDriverFits = 1242;
constexpr uint32_t kInstallNoInfFound = 1243;
constexpr uint32_t kSoftwareHiveUnreadable = 1244;
constexpr uint32_t kCurrentVersionKeyMissing = 1245;
constexpr uint32_t kCurrentVersionUnreadable = 1246;
constexpr uint32_t kScanLocation = 1247;             // {0} location
constexpr uint32_t kScanOpenFailed = 1248;           // {0} file, {1} folder, {2} code
constexpr uint32_t kScanParseFailed = 1249;          // {0} file, {1} folder, {2} line
constexpr uint32_t kScanDeviceMatches = 1250;        // {0} device, {1} file, {2} folder
constexpr uint32_t kNoFunctionDriver = 1251;         // {0} section
constexpr uint32_t kIncludedSectionMissing = 1252;   // {0} section, {1} INF
constexpr uint32_t kAddRegKeyNotOpened = 1253;       // {0} section, {1} key, {2} hive
constexpr uint32_t kAddRegLineWithoutFields = 1254;  // {0} section
constexpr uint32_t kCriticalKeyNotOpened = 1255;     // {0} key, {1} parent
constexpr uint32_t kCriticalKeyNotCreated = 1256;    // {0} key
constexpr uint32_t kCriticalValuesNotWritten = 1257;  // {0}, {1} values, {2} key
constexpr uint32_t kCriticalEntryNotWritten = 1258;  // {0} key
constexpr uint32_t kServiceNumberMissing = 1259;     // {0} service, {1} INF key
constexpr uint32_t kServiceValueNotWritten = 1260;   // {0} service, {1} value
constexpr uint32_t kServicesIncludeRefused = 1261;   // {0} section, {1} INF
constexpr uint32_t kServicesNeedsTooDeep = 1262;     // {0} section, {1} INF
constexpr uint32_t kServicesFlagsNotNumber = 1263;   // {0} section, {1} flags, {2} service
constexpr uint32_t kServicesNoInstallSection = 1264;  // {0} section, {1} install section, {2} service
constexpr uint32_t kServicesEventSourceRefused = 1265;  // {0} section, {1} source
constexpr uint32_t kServiceNameRefused = 1266;       // {0} service
constexpr uint32_t kServiceKeyNotOpened = 1267;      // {0} service
constexpr uint32_t kServiceBinaryMissing = 1268;     // {0} service
constexpr uint32_t kServiceImagePathRefused = 1269;  // {0} service, {1} path

}  // namespace Common::Messages

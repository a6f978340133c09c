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
constexpr uint32_t kSystemHiveUnusable = 1112;    // {0} Windows folder
constexpr uint32_t kScanTooLarge = 1113;            // {0} file, {1} folder
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

// Driver files: copying, cabinets, publication and staging.
constexpr uint32_t kCopyNameLeavesFolder = 1238;       // {0} kind of name, {1} name
constexpr uint32_t kCopyNoDestinationDirs = 1237;      // {0} section
constexpr uint32_t kCopyNoDestinationLine = 1236;      // {0} section
constexpr uint32_t kCopyDestinationNotOpened = 1235;   // {0} section, {1} directory id, {2} subfolder
constexpr uint32_t kCopySectionMissing = 1234;         // {0} section
constexpr uint32_t kCopyFlagsNotNumber = 1233;         // {0} section, {1} flags, {2} file
constexpr uint32_t kCopyFileInPlace = 1232;            // {0} file
constexpr uint32_t kCopySourceMissing = 1231;          // {0} file
constexpr uint32_t kCopyFileFound = 1230;              // {0} file, {1} folder
constexpr uint32_t kCabinetPassedOver = 1229;          // {0} file, {1} cabinet, {2} reason
constexpr uint32_t kCabinetNameRefused = 1228;         // {0} file, {1} name
constexpr uint32_t kCabinetNoDecompressor = 1227;      // {0} file
constexpr uint32_t kCabinetExtractFailed = 1226;       // {0} file, {1} cabinet, {2} reason
constexpr uint32_t kPublishFailed = 1225;              // {0} file
constexpr uint32_t kPlainNameRefused = 1224;           // {0} name
constexpr uint32_t kPublishNoCatalogFolder = 1223;     // {0} file
constexpr uint32_t kPublished = 1222;                  // {0} file, {1} published name
constexpr uint32_t kPublishNoInfFolder = 1221;
constexpr uint32_t kPublishCatalogTaken = 1114;     // {0} file, {1} catalog folder
constexpr uint32_t kNoFreeName = 1220;                 // {0} proposed name
constexpr uint32_t kFolderLeavesBase = 1219;           // {0} path
constexpr uint32_t kDriverStoreIndexNotOpened = 1218;  // {0} index file, {1} folder
constexpr uint32_t kStartOverrideNotDeleted = 1217;    // {0} service
constexpr uint32_t kStagingFolderNotCreated = 1216;    // {0} package
constexpr uint32_t kNotPlainFileName = 1215;           // {0} name
constexpr uint32_t kStageLeavesPackage = 1214;         // {0} file
constexpr uint32_t kStageNotInPackage = 1213;          // {0} file
constexpr uint32_t kStagingFileFailed = 1212;          // {0} file
constexpr uint32_t kStageSoftwareKeyNotOpened = 1211;  // {0} key
constexpr uint32_t kStageDevicePathType = 1210;
constexpr uint32_t kStageDevicePathNotWritten = 1207;
constexpr uint32_t kPackageRecordNotWritten = 1206;    // {0} package

// Driver database registration (Windows 8 and later) and the scheduled install.
constexpr uint32_t kDriverDatabasePackageRewritten = 1205;   // {0} package
constexpr uint32_t kDriverDatabaseMissing = 1204;            // {0}.{1} version, {2} key
constexpr uint32_t kDriverDatabaseUnexpected = 1203;         // {0}.{1} version, {2} key
constexpr uint32_t kDriverDatabaseNoArchitecture = 1202;
constexpr uint32_t kDriverDatabaseOtherArchitecture = 1201;  // {0} recorded architecture, {1} platform
constexpr uint32_t kDriverDatabaseOtherVersion = 1200;       // {0}.{1} recorded version, {2}.{3} SOFTWARE version
constexpr uint32_t kFeatureScoreUnreadable = 1199;           // {0} text
constexpr uint32_t kDriverDatabaseAlreadyBound = 1198;       // {0} INF, {1} identifier, {2} service
constexpr uint32_t kDriverDatabaseNone = 1197;               // {0} INF
constexpr uint32_t kDriverPackageNoClassGuid = 1196;         // {0} INF, {1} ClassGUID text
constexpr uint32_t kDriverDatabaseNamesUnusable = 1195;      // {0} INF
constexpr uint32_t kDriverDatabaseIdPassedOver = 1194;       // {0} identifier
constexpr uint32_t kDriverDatabaseNoId = 1193;               // {0} INF
constexpr uint32_t kOemInfMapType = 1192;                    // {0} value type
constexpr uint32_t kDriverVerPartial = 1191;                 // {0} date, {1} version, {2} INF
constexpr uint32_t kNoFreeOemName = 1190;                    // {0} INF
constexpr uint32_t kDriverDatabaseRegistered = 1189;         // {0} INF, {1} published name, {2} package
constexpr uint32_t kDriverDatabaseNotWritten = 1188;         // {0} INF
constexpr uint32_t kScheduleFileMissing = 1187;              // {0} file, {1} INF
constexpr uint32_t kScheduleStaged = 1186;                   // {0} INF, {1} staged name

// Registry sections and the cleanup of the old hardware.
constexpr uint32_t kAddRegSectionMissing = 1185;     // {0} section
constexpr uint32_t kDisableServiceAbsent = 1184;     // {0} service
constexpr uint32_t kCleanupValueRemoved = 1183;      // {0} key, {1} value
constexpr uint32_t kCleanupValueNotRemoved = 1182;   // {0} key, {1} value
constexpr uint32_t kDisableServiceRefused = 1181;    // {0} service
constexpr uint32_t kCleanupFilterRemoved = 1180;     // {0} service, {1} value, {2} class
constexpr uint32_t kCleanupFilterNotUpdated = 1179;  // {0} value, {1} class
constexpr uint32_t kCleanupDeviceRefused = 1178;     // {0} hardware identifier
constexpr uint32_t kCleanupDeviceDeleted = 1177;     // {0} device key
constexpr uint32_t kCleanupDeviceNotDeleted = 1176;  // {0} device key

// INF files: the configuration and driver sources.
constexpr uint32_t kSettingNotNumber = 1175;           // {0} setting, {1} text
constexpr uint32_t kConfigurationUnreadable = 1174;    // {0} file, {1} line
constexpr uint32_t kConfigurationFile = 1173;          // {0} file
constexpr uint32_t kSourcesLineWithoutFields = 1172;   // {0} file, {1} section
constexpr uint32_t kSourcesDiskUnknown = 1171;         // {0} disk, {1} file
constexpr uint32_t kSourcesIncludedSection = 1170;     // {0} section
constexpr uint32_t kSourcesCopySectionMissing = 1169;  // {0} section

// Hardware: the hardware database, its registry operations and local detection.
constexpr uint32_t kHardwareDatabaseUnparsed = 1168;  // {0} line, {1} code
constexpr uint32_t kHardwareDatabasePath = 1167;      // {0} path
constexpr uint32_t kDevicePropertyUnreadable = 1166;  // {0} sysfs path
constexpr uint32_t kPciDevicesUnlisted = 1165;        // {0} sysfs root
constexpr uint32_t kComputerDevicesUnlisted = 1164;   // {0} sysfs root
constexpr uint32_t kRegOpRootKeyRefused = 1163;       // {0} root, {1} key
constexpr uint32_t kRegOpKeyDeleted = 1162;           // {0} root, {1} key
constexpr uint32_t kRegOpKeyNotDeleted = 1161;        // {0} root, {1} key
constexpr uint32_t kRegOpValueDeleted = 1160;         // {0} value, {1} root, {2} key
constexpr uint32_t kRegOpValueNotDeleted = 1159;      // {0} value, {1} root, {2} key
constexpr uint32_t kRegOpOriginalNotKept = 1158;      // {0} value
constexpr uint32_t kRegOpValueSet = 1157;             // {0} value, {1} root, {2} key, {3} data
constexpr uint32_t kRegOpValueNotSet = 1156;          // {0} value, {1} root, {2} key
constexpr uint32_t kRegOpDwordInvalid = 1155;         // {0} value, {1} root, {2} key, {3} data
constexpr uint32_t kRegOpTypeUnsupported = 1154;      // {0} value, {1} type, {2} root, {3} key

// The hive engine and the offline registry.
constexpr uint32_t kHiveOver2GiB = 1153;
constexpr uint32_t kHiveTransferPastBin = 1152;
constexpr uint32_t kHiveBaseBlockNotRead = 1151;
constexpr uint32_t kHiveBinNotWritten = 1150;
constexpr uint32_t kHiveBaseBlockNotWritten = 1149;
constexpr uint32_t kHiveShorterThanBaseBlock = 1148;  // {0} file
constexpr uint32_t kHiveBinsSizeUneven = 1147;        // {0} file
constexpr uint32_t kHiveNoSignature = 1146;           // {0} file
constexpr uint32_t kHiveChecksumWrong = 1145;         // {0} file
constexpr uint32_t kHiveVersionUnknown = 1144;        // {0} file
constexpr uint32_t kHiveFormatUnknown = 1143;         // {0} file
constexpr uint32_t kHiveBinHeaderDamaged = 1142;      // {0} file
constexpr uint32_t kHiveBinsMissing = 1141;           // {0} file
constexpr uint32_t kHiveStructureFault = 1140;        // {0} file, {1} fault
constexpr uint32_t kHiveListKeyUnreadable = 1139;
constexpr uint32_t kHiveListUnordered = 1138;
constexpr uint32_t kHiveFileTooLarge = 1137;          // {0} file
constexpr uint32_t kHiveLogUnreadable = 1136;         // {0} log file
constexpr uint32_t kHiveFileOver2GiB = 1135;          // {0} file
constexpr uint32_t kHiveUnreadable = 1134;            // {0} file
constexpr uint32_t kHiveEndedEarly = 1133;
constexpr uint32_t kHiveNotEditable = 1131;           // {0} file
constexpr uint32_t kNoWorkingCopy = 1130;
constexpr uint32_t kHiveFaultyNotEdited = 1116;       // {0} file, {1} first fault
constexpr uint32_t kEditedHiveFaulty = 1115;          // {0} file, {1} first fault

// Files and folders of the target, and errors.
constexpr uint32_t kLeftoverRemoved = 1129;         // {0} name, {1} folder
constexpr uint32_t kShortWrite = 1128;
constexpr uint32_t kFileWritten = 1127;             // {0} path
constexpr uint32_t kPathLeavesFolder = 1126;        // {0} name, {1} folder
constexpr uint32_t kSymlinkRefused = 1125;          // {0} name, {1} folder
constexpr uint32_t kNotRegularFile = 1124;          // {0} name, {1} folder
constexpr uint32_t kNoFileNameForCharacter = 1123;  // {0} name, {1} folder
constexpr uint32_t kHardLinked = 1122;              // {0} name, {1} folder
constexpr uint32_t kFolderOperationUnsupported = 1121;
constexpr uint32_t kNamesDifferInCase = 1120;       // {0} folder, {1} name used, {2} name passed over
constexpr uint32_t kNoTempFolderName = 1119;
constexpr uint32_t kOutOfMemory = 1118;
constexpr uint32_t kUnexpectedFailure = 1117;       // {0} what the exception says

}  // namespace Common::Messages

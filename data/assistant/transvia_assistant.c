/* transvia_assistant: runs once, at the first start of a Windows installation that
 * transvia moved to new hardware.
 *
 *   1. logs the devices that still have no driver, read from the registry's Enum tree;
 *   2. puts back the values transvia changed only for the first start (OriginalValues);
 *   3. on Windows 8 and later, has pnputil stage each driver package transvia registered
 *      offline (Packages), and once Windows has its own copy removes the DriverDatabase
 *      entries transvia wrote for it;
 *   4. disables its own service.
 *
 * It runs as an auto-start service, or with --once from a console. Every record it reads
 * was written offline by transvia into a restored system, so none is trusted: a record of
 * the wrong type or shape is logged and left alone, never acted on.
 *
 * Win32 only (kernel32, advapi32); nothing newer than Windows Server 2003 x64 is imported,
 * so the program at least starts and logs on the oldest 64-bit Windows. */
#include "assistant.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>


#define ORIGINAL_VALUES L"OriginalValues"
#define ENUM_KEY L"SYSTEM\\CurrentControlSet\\Enum"

/* Device instance ConfigFlags that mean the device has no working driver. */
#define CONFIGFLAG_REINSTALL 0x00000020
#define CONFIGFLAG_FAILEDINSTALL 0x00000040

static HANDLE g_log = INVALID_HANDLE_VALUE;
static BOOL g_console = FALSE;
static const wchar_t *g_pnputil = NULL; /* console mode may name a stand-in */

/* ---------------------------------------------------------------------------------- */
/* Log                                                                                 */

void Log(const wchar_t *format, ...)
{
    wchar_t text[4096];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, sizeof text / sizeof text[0] - 1, format, args);
    va_end(args);
    text[sizeof text / sizeof text[0] - 1] = 0;

    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t line[4200];
    _snwprintf(line, sizeof line / sizeof line[0] - 1, L"%04u-%02u-%02u %02u:%02u:%02u UTC %ls\r\n", now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, text);
    line[sizeof line / sizeof line[0] - 1] = 0;
    char utf8[sizeof line / sizeof line[0] * 3];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, (int)sizeof utf8, NULL, NULL);
    if (bytes <= 1)
        return;
    DWORD written = 0;
    if (g_log != INVALID_HANDLE_VALUE)
        WriteFile(g_log, utf8, (DWORD)(bytes - 1), &written, NULL);
    if (g_console) {
        fwrite(utf8, 1, (size_t)(bytes - 1), stdout);
        fflush(stdout);
    }
}

/* %SystemRoot%\Temp\transvia_assistant.log, appended to. */
static void OpenLog(void)
{
    wchar_t path[MAX_PATH + 64];
    UINT length = GetSystemWindowsDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    wcscat(path, L"\\Temp");
    CreateDirectoryW(path, NULL);
    wcscat(path, L"\\transvia_assistant.log");
    g_log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (g_log == INVALID_HANDLE_VALUE && g_console)
        fwprintf(stderr, L"cannot open the log %ls (error %lu)\n", path, GetLastError());
}

/* ---------------------------------------------------------------------------------- */
/* 1. Devices without a driver                                                         */

/* Why a device instance has no working driver, or NULL when it has one. An instance
 * without a "Driver" (class key) and without a "Service" value never got one; the
 * reinstall and failed-install flags mean Windows knows it still needs one. */
static const wchar_t *MissingDriverReason(HKEY instance)
{
    Value driver, service;
    const BOOL hasDriver = *ReadText(instance, L"Driver", &driver) != 0;
    const BOOL hasService = *ReadText(instance, L"Service", &service) != 0;
    Free(driver.data);
    Free(service.data);
    DWORD flags = 0;
    ReadDword(instance, L"ConfigFlags", &flags);
    if (flags & CONFIGFLAG_FAILEDINSTALL)
        return L"driver install failed";
    if (flags & CONFIGFLAG_REINSTALL)
        return L"waiting for a driver";
    if (!hasDriver && !hasService)
        return L"no driver";
    return NULL;
}

static void LogDeviceWithoutDriver(HKEY instance, const wchar_t *path, const wchar_t *reason)
{
    Value ids, description;
    const wchar_t *id = L"";
    if (ReadValue(instance, L"HardwareID", &ids) && (ids.type == REG_MULTI_SZ || ids.type == REG_SZ))
        id = (const wchar_t *)ids.data;
    const wchar_t *text = ReadText(instance, L"DeviceDesc", &description);
    Log(L"Device without a driver (%ls): %ls%ls%ls%ls%ls", reason, path, *id ? L", hardware id " : L"", id,
        *text ? L", " : L"", text);
    Free(ids.data);
    Free(description.data);
}

typedef struct {
    DWORD instances, missing;
} DeviceCount;

/* Enum holds enumerator\device\instance: walks down to the instance keys, building
 * their paths. */
static void WalkInstances(HKEY key, const wchar_t *path, int depth, DeviceCount *count)
{
    if (depth == 3) {
        ++count->instances;
        const wchar_t *reason = MissingDriverReason(key);
        if (reason) {
            ++count->missing;
            LogDeviceWithoutDriver(key, path, reason);
        }
        return;
    }
    Names children;
    ListNames(key, FALSE, &children);
    for (DWORD i = 0; i < children.count; ++i) {
        /* The root of the device tree has no driver by nature. */
        if (depth == 0 && _wcsicmp(children.items[i], L"HTREE") == 0)
            continue;
        HKEY child;
        if (RegOpenKeyExW(key, children.items[i], 0, KEY_READ, &child) != ERROR_SUCCESS)
            continue;
        wchar_t childPath[3 * 256 + 3];
        _snwprintf(childPath, sizeof childPath / sizeof childPath[0] - 1, L"%ls%ls%ls", path, depth ? L"\\" : L"",
                   children.items[i]);
        childPath[sizeof childPath / sizeof childPath[0] - 1] = 0;
        WalkInstances(child, childPath, depth + 1, count);
        RegCloseKey(child);
    }
    FreeNames(&children);
}

static void LogDevicesWithoutDriver(void)
{
    HKEY root;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ENUM_KEY, 0, KEY_READ, &root);
    if (status != ERROR_SUCCESS) {
        Log(L"Devices: cannot open HKLM\\%ls (error %ld).", ENUM_KEY, status);
        return;
    }
    DeviceCount count = {0, 0};
    WalkInstances(root, L"", 0, &count);
    RegCloseKey(root);
    Log(L"Devices: %lu of %lu device instances without a driver.", count.missing, count.instances);
}

/* ---------------------------------------------------------------------------------- */
/* 2. Values changed only for the first start                                          */

/* Maps a record name "<root>\<key path>\<value name>" onto a key below HKLM and a
 * value name. Roots: "CurrentControlSet" (the current control set), "HKLM" (a path
 * starting with System or Software) and "HKCR" (SOFTWARE\Classes). FALSE when the name
 * has another shape. */
static BOOL SplitOriginalName(const wchar_t *record, wchar_t *key, size_t keyChars, const wchar_t **valueName)
{
    const wchar_t *firstSlash = wcschr(record, L'\\');
    const wchar_t *lastSlash = wcsrchr(record, L'\\');
    if (!firstSlash)
        return FALSE;
    *valueName = lastSlash + 1;
    size_t rootChars = (size_t)(firstSlash - record);
    /* The key path between the root and the value name; empty names the root itself. */
    const wchar_t *path = firstSlash + 1;
    size_t pathChars = lastSlash > firstSlash ? (size_t)(lastSlash - path) : 0;
    wchar_t relative[NAME_CHARS];
    if (pathChars >= NAME_CHARS)
        return FALSE;
    memcpy(relative, path, pathChars * sizeof(wchar_t));
    relative[pathChars] = 0;
    if (pathChars && !IsCleanPath(relative, FALSE))
        return FALSE;

    const wchar_t *prefix;
    if (rootChars == 17 && _wcsnicmp(record, L"CurrentControlSet", 17) == 0)
        prefix = L"SYSTEM\\CurrentControlSet";
    else if (rootChars == 4 && _wcsnicmp(record, L"HKCR", 4) == 0)
        prefix = L"SOFTWARE\\Classes";
    else if (rootChars == 4 && _wcsnicmp(record, L"HKLM", 4) == 0) {
        prefix = L"";
        if (!pathChars || !(_wcsnicmp(relative, L"System", 6) == 0 || _wcsnicmp(relative, L"Software", 8) == 0))
            return FALSE;
        wchar_t after = relative[_wcsnicmp(relative, L"System", 6) == 0 ? 6 : 8];
        if (after != 0 && after != L'\\')
            return FALSE;
    } else
        return FALSE;
    int written = _snwprintf(key, keyChars - 1, L"%ls%ls%ls", prefix, *prefix && pathChars ? L"\\" : L"", relative);
    key[keyChars - 1] = 0;
    return written >= 0;
}

/* TRUE when the recorded value was written back. */
static BOOL RestoreOriginal(HKEY store, const wchar_t *record)
{
    wchar_t keyPath[NAME_CHARS];
    const wchar_t *valueName = NULL;
    if (!SplitOriginalName(record, keyPath, NAME_CHARS, &valueName)) {
        Log(L"Original value '%ls': not a value transvia records; left alone.", record);
        return FALSE;
    }
    Value original;
    if (!ReadValue(store, record, &original)) {
        Log(L"Original value '%ls': unreadable; left alone.", record);
        return FALSE;
    }
    /* Only values that existed were changed, so a missing key means something else
     * removed it since: do not create it again. */
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(key, valueName, 0, original.type, original.data, original.size);
        RegCloseKey(key);
    }
    Free(original.data);
    if (status != ERROR_SUCCESS) {
        Log(L"Original value '%ls': cannot write HKLM\\%ls\\%ls (error %ld).", record, keyPath, valueName, status);
        return FALSE;
    }
    Log(L"Put back HKLM\\%ls value '%ls' (type %lu).", keyPath, valueName, original.type);
    return TRUE;
}

static void RestoreOriginalValues(HKEY service)
{
    HKEY store;
    LONG status = RegOpenKeyExW(service, ORIGINAL_VALUES, 0, KEY_READ | KEY_SET_VALUE, &store);
    if (status != ERROR_SUCCESS) {
        Log(L"Original values: none recorded.");
        return;
    }
    Names records;
    ListNames(store, TRUE, &records);
    for (DWORD i = 0; i < records.count; ++i)
        if (RestoreOriginal(store, records.items[i]))
            RegDeleteValueW(store, records.items[i]);
    FreeNames(&records);
    /* What could not be put back stays, for whoever reads the log. */
    const BOOL empty = IsEmptyKey(store);
    RegCloseKey(store);
    if (empty && RegDeleteKeyW(service, ORIGINAL_VALUES) == ERROR_SUCCESS)
        Log(L"Original values: all put back; record deleted.");
    else
        Log(L"Original values: some could not be put back; they stay recorded.");
}

/* ---------------------------------------------------------------------------------- */
/* 4. Disable the service                                                              */

/* Through the service manager when it knows the service, so its own view agrees;
 * otherwise Start = 4 in the service's key, which it reads at the next start. */
static void DisableSelf(HKEY service)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE handle = manager ? OpenServiceW(manager, SERVICE_NAME, SERVICE_CHANGE_CONFIG) : NULL;
    BOOL changed = handle && ChangeServiceConfigW(handle, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, NULL,
                                                  NULL, NULL, NULL, NULL, NULL, NULL);
    const DWORD error = GetLastError();
    if (handle)
        CloseServiceHandle(handle);
    if (manager)
        CloseServiceHandle(manager);
    if (changed) {
        Log(L"Service %ls disabled through the service manager.", SERVICE_NAME);
        return;
    }
    if (!service) {
        Log(L"Service %ls: not known to the service manager (error %lu) and no service key; nothing to disable.",
            SERVICE_NAME, error);
        return;
    }
    DWORD disabled = SERVICE_DISABLED;
    LONG status = RegSetValueExW(service, L"Start", 0, REG_DWORD, (const BYTE *)&disabled, sizeof disabled);
    if (status == ERROR_SUCCESS)
        Log(L"Service %ls disabled (Start = 4).", SERVICE_NAME);
    else
        Log(L"Service %ls: cannot disable it (error %ld).", SERVICE_NAME, status);
}

/* ---------------------------------------------------------------------------------- */

static void Run(void)
{
    OpenLog();
    Log(L"transvia assistant started%ls.", g_console ? L" (--once)" : L" as a service");
    LogDevicesWithoutDriver();
    HKEY service = NULL;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_READ | KEY_SET_VALUE, &service);
    if (status != ERROR_SUCCESS) {
        Log(L"Service key HKLM\\%ls: cannot open it (error %ld); no records to read.", SERVICE_KEY, status);
        service = NULL;
    } else {
        RestoreOriginalValues(service);
        StagePackages(service, g_pnputil);
    }
    DisableSelf(service);
    if (service)
        RegCloseKey(service);
    Log(L"transvia assistant finished.");
    if (g_log != INVALID_HANDLE_VALUE)
        CloseHandle(g_log);
    g_log = INVALID_HANDLE_VALUE;
}

static SERVICE_STATUS_HANDLE g_status;

static DWORD WINAPI Control(DWORD control, DWORD type, void *data, void *context)
{
    (void)type;
    (void)data;
    (void)context;
    /* The work is short and runs to its end; only questions are answered. */
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

static void SetState(DWORD state)
{
    SERVICE_STATUS status;
    memset(&status, 0, sizeof status);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    SetServiceStatus(g_status, &status);
}

static void WINAPI ServiceMain(DWORD argc, wchar_t **argv)
{
    (void)argc;
    (void)argv;
    g_status = RegisterServiceCtrlHandlerExW(SERVICE_NAME, Control, NULL);
    if (!g_status)
        return;
    /* Running at once: an auto-start service that stays pending holds up the boot. */
    SetState(SERVICE_RUNNING);
    Run();
    SetState(SERVICE_STOPPED);
}

static int Usage(void)
{
    fwprintf(stderr, L"usage: transvia_assistant.exe              (started by the service manager)\n"
                     L"       transvia_assistant.exe --once [--pnputil PATH]\n");
    return 2;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"--once") == 0) {
        for (int i = 2; i < argc; ++i) {
            if (wcscmp(argv[i], L"--pnputil") == 0 && i + 1 < argc)
                g_pnputil = argv[++i];
            else
                return Usage();
        }
        g_console = TRUE;
        Run();
        return 0;
    }
    if (argc != 1)
        return Usage();
    SERVICE_TABLE_ENTRYW table[] = {{(wchar_t *)SERVICE_NAME, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherW(table)) {
        if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            return Usage();
        return 1;
    }
    return 0;
}

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
#define WIN32_LEAN_AND_MEAN
#define _WIN32_WINNT 0x0502
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define SERVICE_NAME L"transvia_assistant"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME
#define ORIGINAL_VALUES L"OriginalValues"
#define PACKAGES L"Packages"
#define ENUM_KEY L"SYSTEM\\CurrentControlSet\\Enum"
#define DRIVER_DATABASE L"DriverDatabase"

/* Device instance ConfigFlags that mean the device has no working driver. */
#define CONFIGFLAG_REINSTALL 0x00000020
#define CONFIGFLAG_FAILEDINSTALL 0x00000040

/* pnputil's "done, restart needed" exit code counts as success. */
#define EXIT_REBOOT_REQUIRED 3010
/* How long one pnputil run may take before it counts as failed. */
#define PNPUTIL_TIMEOUT_MS (15u * 60u * 1000u)

/* Registry names and paths are at most 255 and a few thousand characters; data of the
 * records is bounded so a hostile record cannot make us allocate without limit. */
#define NAME_CHARS 16384
#define MAX_DATA_BYTES (1u << 20)

static HANDLE g_log = INVALID_HANDLE_VALUE;
static BOOL g_console = FALSE;
static const wchar_t *g_pnputil = NULL; /* console mode may name a stand-in */

/* ---------------------------------------------------------------------------------- */
/* Log                                                                                 */

/* Appends one timestamped UTF-8 line to the log, and prints it in console mode. */
static void Log(const wchar_t *format, ...)
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
/* Registry helpers                                                                    */

static void *Alloc(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
}

static void Free(void *memory)
{
    if (memory)
        HeapFree(GetProcessHeap(), 0, memory);
}

typedef struct {
    DWORD type;
    DWORD size;  /* bytes of data, without the terminators added below */
    BYTE *data;  /* followed by two zero wide characters, so text is always terminated */
} Value;

/* Reads a value of any type. FALSE when it is missing or unreadable. */
static BOOL ReadValue(HKEY key, const wchar_t *name, Value *value)
{
    value->data = NULL;
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, NULL, &value->type, NULL, &size) != ERROR_SUCCESS || size > MAX_DATA_BYTES)
            return FALSE;
        value->data = Alloc(size + 2 * sizeof(wchar_t));
        if (!value->data)
            return FALSE;
        value->size = size;
        LONG status = RegQueryValueExW(key, name, NULL, &value->type, value->data, &value->size);
        if (status == ERROR_SUCCESS)
            return TRUE;
        Free(value->data);
        value->data = NULL;
        if (status != ERROR_MORE_DATA)
            return FALSE;  /* grew between the two calls: ask again */
    }
    return FALSE;
}

/* A REG_SZ or REG_EXPAND_SZ value as text (empty string when missing or of another
 * type); the caller frees the data. */
static const wchar_t *ReadText(HKEY key, const wchar_t *name, Value *value)
{
    if (!ReadValue(key, name, value))
        return L"";
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ)
        return L"";
    return (const wchar_t *)value->data;
}

static BOOL ReadDword(HKEY key, const wchar_t *name, DWORD *number)
{
    DWORD type = 0;
    DWORD size = sizeof *number;
    return RegQueryValueExW(key, name, NULL, &type, (BYTE *)number, &size) == ERROR_SUCCESS && type == REG_DWORD &&
           size == sizeof *number;
}

/* A list of names, filled by enumeration before anything is deleted. */
typedef struct {
    wchar_t **items;
    DWORD count;
} Names;

static void FreeNames(Names *names)
{
    for (DWORD i = 0; i < names->count; ++i)
        Free(names->items[i]);
    Free(names->items);
    names->items = NULL;
    names->count = 0;
}

static BOOL AddName(Names *names, const wchar_t *name)
{
    wchar_t **grown = Alloc((names->count + 1) * sizeof *grown);
    wchar_t *copy = Alloc((wcslen(name) + 1) * sizeof *copy);
    if (!grown || !copy) {
        Free(grown);
        Free(copy);
        return FALSE;
    }
    if (names->count)
        memcpy(grown, names->items, names->count * sizeof *grown);
    wcscpy(copy, name);
    grown[names->count++] = copy;
    Free(names->items);
    names->items = grown;
    return TRUE;
}

/* The names of a key's subkeys (values == FALSE) or values (values == TRUE). */
static void ListNames(HKEY key, BOOL values, Names *names)
{
    names->items = NULL;
    names->count = 0;
    static wchar_t name[NAME_CHARS];
    for (DWORD index = 0;; ++index) {
        DWORD chars = NAME_CHARS;
        LONG status = values ? RegEnumValueW(key, index, name, &chars, NULL, NULL, NULL, NULL)
                             : RegEnumKeyExW(key, index, name, &chars, NULL, NULL, NULL, NULL);
        if (status == ERROR_MORE_DATA)
            continue;  /* a name longer than the registry allows: not ours */
        if (status != ERROR_SUCCESS || !AddName(names, name))
            break;
    }
}

/* Deletes a key with everything below it. RegDeleteTree is Vista and later. */
static LONG DeleteTree(HKEY parent, const wchar_t *path)
{
    HKEY key;
    LONG status = RegOpenKeyExW(parent, path, 0, KEY_READ | DELETE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    Names children;
    ListNames(key, FALSE, &children);
    for (DWORD i = 0; i < children.count; ++i)
        DeleteTree(key, children.items[i]);
    FreeNames(&children);
    RegCloseKey(key);
    return RegDeleteKeyW(parent, path);
}

/* TRUE when `key` has neither subkeys nor values. */
static BOOL IsEmptyKey(HKEY key)
{
    DWORD subkeys = 1, values = 1;
    return RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) ==
               ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

/* A relative path is usable when it has no empty, "." or ".." component: the registry
 * has no such thing, so a record holding one was not written by us. File paths
 * (`slashes`) also split at '/', which is a plain character in registry names. */
static BOOL IsCleanPath(const wchar_t *path, BOOL slashes)
{
    if (!*path)
        return FALSE;
    const wchar_t *start = path;
    for (const wchar_t *p = path;; ++p) {
        if (*p == L'\\' || (slashes && *p == L'/') || *p == 0) {
            size_t length = (size_t)(p - start);
            if (length == 0 || (length == 1 && start[0] == L'.') ||
                (length == 2 && start[0] == L'.' && start[1] == L'.'))
                return FALSE;
            if (*p == 0)
                return TRUE;
            start = p + 1;
        }
    }
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
/* 3. Driver packages registered offline                                               */

typedef struct {
    DWORD major, minor, build;
} Version;

typedef LONG(WINAPI *RtlGetVersionFunction)(OSVERSIONINFOW *);

/* The real version: GetVersionEx answers 6.2 to programs without a manifest. */
static Version WindowsVersion(void)
{
    Version version = {0, 0, 0};
    OSVERSIONINFOW info;
    memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    RtlGetVersionFunction get =
        (RtlGetVersionFunction)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    if (get && get(&info) == 0) {
        version.major = info.dwMajorVersion;
        version.minor = info.dwMinorVersion;
        version.build = info.dwBuildNumber;
    }
    return version;
}

/* Runs the command line, copies what it prints into the log and returns its exit code;
 * FALSE when it could not be started or did not finish in time. */
static BOOL RunLogged(const wchar_t *program, wchar_t *commandLine, DWORD *exitCode)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE readEnd = NULL, writeEnd = NULL;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        Log(L"pnputil: cannot create a pipe (error %lu).", GetLastError());
        return FALSE;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = NULL;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process;
    const BOOL started =
        CreateProcessW(program, commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        Log(L"pnputil: cannot start %ls (error %lu).", program, startError);
        return FALSE;
    }
    CloseHandle(process.hThread);

    /* Output lines go to the log as they come; the wait is bounded. */
    char pending[1024];
    DWORD have = 0;
    DWORD waited = 0;
    BOOL finished = FALSE;
    for (;;) {
        DWORD available = 0;
        while (PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL) && available) {
            DWORD got = 0;
            if (!ReadFile(readEnd, pending + have, sizeof pending - 1 - have, &got, NULL) || got == 0)
                break;
            have += got;
            for (;;) {
                char *end = memchr(pending, '\n', have);
                if (!end && have < sizeof pending - 1)
                    break;
                DWORD length = end ? (DWORD)(end - pending) : have;
                wchar_t text[1024];
                int chars = MultiByteToWideChar(CP_OEMCP, 0, pending, (int)length, text, 1023);
                while (chars > 0 && (text[chars - 1] == L'\r' || text[chars - 1] == 0))
                    --chars;
                text[chars > 0 ? chars : 0] = 0;
                if (chars > 0)
                    Log(L"pnputil: %ls", text);
                DWORD used = end ? length + 1 : length;
                memmove(pending, pending + used, have - used);
                have -= used;
            }
        }
        if (finished)
            break;
        if (WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0)
            finished = TRUE; /* one more pass drains what it printed last */
        else if ((waited += 100) >= PNPUTIL_TIMEOUT_MS)
            break;
    }
    if (have) {
        pending[have] = 0;
        wchar_t text[1024];
        int chars = MultiByteToWideChar(CP_OEMCP, 0, pending, (int)have, text, 1023);
        text[chars > 0 ? chars : 0] = 0;
        Log(L"pnputil: %ls", text);
    }
    CloseHandle(readEnd);
    BOOL ok = finished && GetExitCodeProcess(process.hProcess, exitCode);
    if (!finished)
        Log(L"pnputil: no answer after %lu minutes; left running.", PNPUTIL_TIMEOUT_MS / 60000u);
    CloseHandle(process.hProcess);
    return ok;
}

/* A DriverDatabase path as the records give it, relative to the SYSTEM hive: only what
 * is below DriverDatabase may be removed, so a damaged record cannot take anything else. */
static BOOL IsDriverDatabasePath(const wchar_t *path)
{
    const size_t prefix = wcslen(DRIVER_DATABASE);
    return IsCleanPath(path, FALSE) && _wcsnicmp(path, DRIVER_DATABASE, prefix) == 0 && path[prefix] == L'\\';
}

/* Removes the listed DriverDatabase keys (whole trees) or values ("key\value").
 * FALSE when an entry was malformed or could not be removed. */
static BOOL RemoveListed(const wchar_t *package, const Value *list, BOOL values)
{
    BOOL all = TRUE;
    for (const wchar_t *entry = (const wchar_t *)list->data; *entry; entry += wcslen(entry) + 1) {
        /* "SYSTEM\<key path>", and for a value its name after the last backslash. */
        wchar_t path[NAME_CHARS];
        _snwprintf(path, NAME_CHARS - 1, L"SYSTEM\\%ls", entry);
        path[NAME_CHARS - 1] = 0;
        const wchar_t *valueName = NULL;
        if (values) {
            wchar_t *slash = wcsrchr(path, L'\\');
            *slash = 0;
            valueName = slash + 1;
        }
        const BOOL inside = wcslen(path) > 7 && IsDriverDatabasePath(path + 7);
        if (!inside || (values && !*valueName)) {
            Log(L"Package %ls: '%ls' is not a DriverDatabase %ls; left alone.", package, entry,
                values ? L"value" : L"key");
            all = FALSE;
            continue;
        }
        LONG status;
        if (values) {
            HKEY key;
            status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE, &key);
            if (status == ERROR_SUCCESS) {
                status = RegDeleteValueW(key, valueName);
                RegCloseKey(key);
            }
        } else
            status = DeleteTree(HKEY_LOCAL_MACHINE, path);
        if (status == ERROR_SUCCESS)
            Log(L"Package %ls: removed %ls HKLM\\%ls%ls%ls.", package, values ? L"value" : L"key", path,
                values ? L"\\" : L"", values ? valueName : L"");
        else if (status == ERROR_FILE_NOT_FOUND)
            Log(L"Package %ls: %ls HKLM\\%ls%ls%ls was already gone.", package, values ? L"value" : L"key", path,
                values ? L"\\" : L"", values ? valueName : L"");
        else {
            Log(L"Package %ls: cannot remove HKLM\\%ls%ls%ls (error %ld).", package, path, values ? L"\\" : L"",
                values ? valueName : L"", status);
            all = FALSE;
        }
    }
    return all;
}

/* A REG_MULTI_SZ list, or a missing one read as empty. FALSE for any other type. */
static BOOL ReadList(HKEY record, const wchar_t *name, Value *list)
{
    if (!ReadValue(record, name, list)) {
        list->data = Alloc(2 * sizeof(wchar_t));
        list->type = REG_MULTI_SZ;
        list->size = 0;
        return list->data != NULL;
    }
    return list->type == REG_MULTI_SZ;
}

/* Runs pnputil for one record; TRUE when the record is done with and may be deleted. */
static BOOL StagePackage(HKEY record, const wchar_t *package, Version version)
{
    Value inf, keys, values;
    BOOL done = FALSE;
    keys.data = values.data = NULL;
    const wchar_t *infText = ReadText(record, L"Inf", &inf);
    wchar_t infPath[MAX_PATH * 4];
    DWORD expanded = *infText ? ExpandEnvironmentStringsW(infText, infPath, MAX_PATH * 4) : 0;
    /* A drive path or a UNC path, never relative: pnputil resolves relative ones
     * against its own working folder. */
    const BOOL absolute = expanded > 3 && expanded <= MAX_PATH * 4 &&
                          ((infPath[1] == L':' && infPath[2] == L'\\') || (infPath[0] == L'\\' && infPath[1] == L'\\'));
    if (!absolute || !IsCleanPath(infPath + 3, TRUE)) {
        Log(L"Package %ls: 'Inf' is missing, not text or not a full path ('%ls'); record left alone.", package,
            infText);
        goto out;
    }
    if (!ReadList(record, L"Keys", &keys) || !ReadList(record, L"Values", &values)) {
        Log(L"Package %ls: 'Keys' or 'Values' is not a list of strings; record left alone.", package);
        goto out;
    }

    wchar_t program[MAX_PATH + 32];
    if (g_pnputil)
        _snwprintf(program, MAX_PATH + 31, L"%ls", g_pnputil);
    else {
        UINT length = GetSystemWindowsDirectoryW(program, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            goto out;
        wcscat(program, L"\\System32\\pnputil.exe");
    }
    program[MAX_PATH + 31] = 0;
    /* Windows 10 renamed the options; 8 and 8.1 know only the old ones. */
    wchar_t commandLine[MAX_PATH * 6];
    if (version.major >= 10)
        _snwprintf(commandLine, MAX_PATH * 6 - 1, L"\"%ls\" /add-driver \"%ls\" /install", program, infPath);
    else
        _snwprintf(commandLine, MAX_PATH * 6 - 1, L"\"%ls\" -i -a \"%ls\"", program, infPath);
    commandLine[MAX_PATH * 6 - 1] = 0;
    Log(L"Package %ls: running %ls", package, commandLine);
    DWORD exitCode = 0;
    if (!RunLogged(program, commandLine, &exitCode)) {
        Log(L"Package %ls: pnputil did not run to the end; record kept.", package);
        goto out;
    }
    Log(L"Package %ls: pnputil exit code %lu.", package, exitCode);
    if (exitCode != 0 && exitCode != EXIT_REBOOT_REQUIRED) {
        Log(L"Package %ls: Windows did not take the package; the DriverDatabase entries written offline stay.",
            package);
        goto out;
    }
    /* Windows now has the package under its own name: the entries written offline only
     * stand in the way of its servicing. */
    const BOOL keysGone = RemoveListed(package, &keys, FALSE);
    const BOOL valuesGone = RemoveListed(package, &values, TRUE);
    done = keysGone && valuesGone;
    if (!done)
        Log(L"Package %ls: some entries were not removed; record kept.", package);
out:
    Free(inf.data);
    Free(keys.data);
    Free(values.data);
    return done;
}

static void StagePackages(HKEY service)
{
    HKEY packages;
    if (RegOpenKeyExW(service, PACKAGES, 0, KEY_READ | KEY_SET_VALUE, &packages) != ERROR_SUCCESS) {
        Log(L"Packages: none recorded.");
        return;
    }
    const Version version = WindowsVersion();
    if (version.major < 6 || (version.major == 6 && version.minor < 2)) {
        /* Before Windows 8 the boot path reads the critical device database, which
         * needs no clean-up; the records are left as they are. */
        Log(L"Packages: Windows %lu.%lu does not use the DriverDatabase; records left alone.", version.major,
            version.minor);
        RegCloseKey(packages);
        return;
    }
    Log(L"Packages: Windows %lu.%lu build %lu.", version.major, version.minor, version.build);
    Names names;
    ListNames(packages, FALSE, &names);
    for (DWORD i = 0; i < names.count; ++i) {
        HKEY record;
        if (RegOpenKeyExW(packages, names.items[i], 0, KEY_READ, &record) != ERROR_SUCCESS) {
            Log(L"Package %ls: record unreadable; left alone.", names.items[i]);
            continue;
        }
        const BOOL done = StagePackage(record, names.items[i], version);
        RegCloseKey(record);
        if (done && DeleteTree(packages, names.items[i]) == ERROR_SUCCESS)
            Log(L"Package %ls: done; record deleted.", names.items[i]);
    }
    FreeNames(&names);
    const BOOL empty = IsEmptyKey(packages);
    RegCloseKey(packages);
    if (empty)
        RegDeleteKeyW(service, PACKAGES);
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
        StagePackages(service);
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

/* The driver package step of transvia_assistant: pnputil stages each package that
 * transvia registered offline, then the DriverDatabase entries written for it go. */
#include "assistant.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define PACKAGES L"Packages"
#define DRIVER_DATABASE L"DriverDatabase"

/* pnputil's "done, restart needed" exit code counts as success. */
#define EXIT_REBOOT_REQUIRED 3010
/* How long one pnputil run may take before it counts as failed. */
#define PNPUTIL_TIMEOUT_MS (15u * 60u * 1000u)

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
static BOOL StagePackage(HKEY record, const wchar_t *package, Version version, const wchar_t *pnputil)
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
    if (pnputil)
        _snwprintf(program, MAX_PATH + 31, L"%ls", pnputil);
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

void StagePackages(HKEY service, const wchar_t *pnputil)
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
        const BOOL done = StagePackage(record, names.items[i], version, pnputil);
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

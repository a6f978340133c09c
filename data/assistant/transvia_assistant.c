/* transvia_assistant: runs once at the first start of a Windows installation that
 * transvia moved to new hardware, then disables its own service. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#define SERVICE_NAME L"transvia_assistant"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME

static HANDLE g_log = INVALID_HANDLE_VALUE;
static BOOL g_console = FALSE;

/* Appends one timestamped UTF-8 line to the log (and to the console in --once mode). */
static void Log(const wchar_t *format, ...)
{
    wchar_t text[2048];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, sizeof text / sizeof text[0] - 1, format, args);
    va_end(args);
    text[sizeof text / sizeof text[0] - 1] = 0;

    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t line[2200];
    _snwprintf(line, sizeof line / sizeof line[0] - 1, L"%04u-%02u-%02u %02u:%02u:%02u UTC %ls\r\n", now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, text);
    line[sizeof line / sizeof line[0] - 1] = 0;
    char utf8[8800];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, NULL, NULL);
    if (bytes <= 1)
        return;
    DWORD written = 0;
    if (g_log != INVALID_HANDLE_VALUE)
        WriteFile(g_log, utf8, (DWORD)(bytes - 1), &written, NULL);
    if (g_console)
        fwrite(utf8, 1, (size_t)(bytes - 1), stdout);
}

static void OpenLog(void)
{
    wchar_t path[MAX_PATH + 64];
    UINT length = GetWindowsDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    wcscat(path, L"\\Temp");
    CreateDirectoryW(path, NULL);
    wcscat(path, L"\\transvia_assistant.log");
    g_log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

/* Start = 4 (disabled) in the service's own key, so the first start is the only one. */
static void DisableSelf(void)
{
    HKEY key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        Log(L"Service key %ls not opened (error %ld); nothing to disable.", SERVICE_KEY, status);
        return;
    }
    DWORD disabled = SERVICE_DISABLED;
    status = RegSetValueExW(key, L"Start", 0, REG_DWORD, (const BYTE *)&disabled, sizeof disabled);
    RegCloseKey(key);
    if (status == ERROR_SUCCESS)
        Log(L"Service %ls disabled (Start = 4).", SERVICE_NAME);
    else
        Log(L"Service %ls not disabled (error %ld).", SERVICE_NAME, status);
}

static void Run(void)
{
    OpenLog();
    Log(L"transvia assistant started.");
    DisableSelf();
    Log(L"transvia assistant finished.");
    if (g_log != INVALID_HANDLE_VALUE)
        CloseHandle(g_log);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && wcscmp(argv[1], L"--once") == 0) {
        g_console = TRUE;
        Run();
        return 0;
    }
    fwprintf(stderr, L"usage: transvia_assistant.exe --once\n");
    return 2;
}

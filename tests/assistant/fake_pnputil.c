/* Stands in for pnputil.exe in the assistant's tests: appends its arguments, one line
 * per run joined by '|', to the file named by FAKE_PNPUTIL_RECORD, prints a line as
 * pnputil does, and exits with FAKE_PNPUTIL_EXIT (0 when unset). */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *record = _wgetenv(L"FAKE_PNPUTIL_RECORD");
    if (record) {
        FILE *file = _wfopen(record, L"ab");
        if (file) {
            for (int i = 1; i < argc; ++i) {
                char utf8[4096];
                int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8, sizeof utf8, NULL, NULL);
                if (i > 1)
                    fputc('|', file);
                if (bytes > 1)
                    fwrite(utf8, 1, (size_t)(bytes - 1), file);
            }
            fputc('\n', file);
            fclose(file);
        }
    }
    const wchar_t *code = _wgetenv(L"FAKE_PNPUTIL_EXIT");
    printf("stand-in pnputil: %d arguments\r\n", argc - 1);
    return code ? _wtoi(code) : 0;
}

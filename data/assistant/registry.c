/* Registry helpers of transvia_assistant: reading values of any type with bounds,
 * listing names before deleting, deleting whole trees. */
#include "assistant.h"

#include <string.h>
#include <wchar.h>

void *Alloc(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
}

void Free(void *memory)
{
    if (memory)
        HeapFree(GetProcessHeap(), 0, memory);
}

BOOL ReadValue(HKEY key, const wchar_t *name, Value *value)
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

const wchar_t *ReadText(HKEY key, const wchar_t *name, Value *value)
{
    if (!ReadValue(key, name, value))
        return L"";
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ)
        return L"";
    return (const wchar_t *)value->data;
}

BOOL ReadDword(HKEY key, const wchar_t *name, DWORD *number)
{
    DWORD type = 0;
    DWORD size = sizeof *number;
    return RegQueryValueExW(key, name, NULL, &type, (BYTE *)number, &size) == ERROR_SUCCESS && type == REG_DWORD &&
           size == sizeof *number;
}

void FreeNames(Names *names)
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

void ListNames(HKEY key, BOOL values, Names *names)
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

LONG DeleteTree(HKEY parent, const wchar_t *path)
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

BOOL IsEmptyKey(HKEY key)
{
    DWORD subkeys = 1, values = 1;
    return RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL, NULL) ==
               ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

BOOL IsCleanPath(const wchar_t *path, BOOL slashes)
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

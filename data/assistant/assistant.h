/* What the parts of transvia_assistant share: the log, the registry helpers
 * (registry.c) and the driver package step (packages.c). */
#pragma once

#define WIN32_LEAN_AND_MEAN
#define _WIN32_WINNT 0x0502
#include <windows.h>

#define SERVICE_NAME L"transvia_assistant"
#define SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\" SERVICE_NAME

/* Registry names and paths are at most 255 and a few thousand characters; data of the
 * records is bounded so a hostile record cannot make us allocate without limit. */
#define NAME_CHARS 16384
#define MAX_DATA_BYTES (1u << 20)

/* Appends one timestamped UTF-8 line to the log, and prints it in console mode. */
void Log(const wchar_t *format, ...);

void *Alloc(size_t bytes);
void Free(void *memory);

typedef struct {
    DWORD type;
    DWORD size;  /* bytes of data, without the terminators added below */
    BYTE *data;  /* followed by two zero wide characters, so text is always terminated */
} Value;

/* Reads a value of any type. FALSE when it is missing or unreadable. */
BOOL ReadValue(HKEY key, const wchar_t *name, Value *value);
/* A REG_SZ or REG_EXPAND_SZ value as text (empty string when missing or of another
 * type); the caller frees the data. */
const wchar_t *ReadText(HKEY key, const wchar_t *name, Value *value);
BOOL ReadDword(HKEY key, const wchar_t *name, DWORD *number);

/* A list of names, filled by enumeration before anything is deleted. */
typedef struct {
    wchar_t **items;
    DWORD count;
} Names;

/* The names of a key's subkeys (values == FALSE) or values (values == TRUE). */
void ListNames(HKEY key, BOOL values, Names *names);
void FreeNames(Names *names);
/* Deletes a key with everything below it (RegDeleteTree is Vista and later). */
LONG DeleteTree(HKEY parent, const wchar_t *path);
/* TRUE when `key` has neither subkeys nor values. */
BOOL IsEmptyKey(HKEY key);
/* A relative path is usable when it has no empty, "." or ".." component: the registry
 * has no such thing, so a record holding one was not written by us. File paths
 * (`slashes`) also split at '/', which is a plain character in registry names. */
BOOL IsCleanPath(const wchar_t *path, BOOL slashes);

/* Driver packages registered offline, below the service key's "Packages": has pnputil
 * (`pnputil`, or the system's own when NULL) stage each one on Windows 8 and later. */
void StagePackages(HKEY service, const wchar_t *pnputil);

/* The libhivex side of the import benchmark: the same work as hive_import_ours.
 *   hive_import_hivex HIVE COUNT [PARENT...] */
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static hive_node_h OpenPath(hive_h* h, hive_node_h node, const char* path)
{
    char part[256];
    while (node && *path) {
        size_t n = strcspn(path, "\\");
        if (n >= sizeof part)
            return 0;
        memcpy(part, path, n);
        part[n] = 0;
        node = hivex_node_get_child(h, node, part);
        path += n + (path[n] == '\\');
    }
    return node;
}

static int AddKey(hive_h* h, hive_node_h parent, int i)
{
    char name[32], ascii[32], text[64];
    unsigned char binary[16];
    memset(binary, 0xAB, sizeof binary);
    snprintf(name, sizeof name, "Key%08X", (unsigned)i * 2654435761u);
    hive_node_h node = hivex_node_add_child(h, parent, name);
    if (!node)
        return -1;
    /* "Driver %05d" as UTF-16LE with its NUL */
    const int n = snprintf(ascii, sizeof ascii, "Driver %05d", i);
    for (int j = 0; j <= n; ++j) {
        text[2 * j] = ascii[j];
        text[2 * j + 1] = 0;
    }
    unsigned char dword[4] = {(unsigned char)i, (unsigned char)(i >> 8), 0, 0};
    hive_set_value values[3] = {
        {"ImagePath", hive_t_REG_SZ, (size_t)(2 * (n + 1)), text},
        {"Start", hive_t_REG_DWORD, 4, (char*)dword},
        {"Blob", hive_t_REG_BINARY, sizeof binary, (char*)binary},
    };
    return hivex_node_set_values(h, node, 3, values, 0);
}

static int TouchSubkeys(hive_h* h, hive_node_h parent)
{
    hive_node_h* children = hivex_node_children(h, parent);
    if (!children)
        return -1;
    for (size_t i = 0; children[i]; ++i) {
        char* name = hivex_node_name(h, children[i]);
        hive_node_h key = name ? hivex_node_get_child(h, parent, name) : 0;
        free(name);
        hive_node_h added = key ? hivex_node_add_child(h, key, "TransviaBench") : 0;
        unsigned char dword[4] = {1, 0, 0, 0};
        hive_set_value value = {"Start", hive_t_REG_DWORD, 4, (char*)dword};
        if (!added || hivex_node_set_value(h, added, &value, 0) != 0) {
            free(children);
            return -1;
        }
    }
    free(children);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    hive_h* h = hivex_open(argv[1], HIVEX_OPEN_WRITE);
    if (!h) {
        perror("hivex_open");
        return 1;
    }
    hive_node_h parents[16];
    int count = 0;
    for (int i = 3; i < argc && count < 16; ++i) {
        parents[count] = OpenPath(h, hivex_root(h), argv[i]);
        if (!parents[count++]) {
            fprintf(stderr, "no key %s\n", argv[i]);
            return 1;
        }
    }
    if (count == 0)
        parents[count++] = hivex_root(h);
    const int keys = atoi(argv[2]);
    for (int i = 0; i < keys; ++i) {
        if (AddKey(h, parents[i % count], i) != 0) {
            perror("hivex write");
            return 1;
        }
    }
    for (int p = 0; keys == 0 && p < count; ++p) {
        if (TouchSubkeys(h, parents[p]) != 0) {
            perror("hivex write");
            return 1;
        }
    }
    if (hivex_commit(h, NULL, 0) != 0) {
        perror("hivex_commit");
        return 1;
    }
    hivex_close(h);
    return 0;
}

/* The libhivex side of the import benchmark: adds COUNT keys under the root of HIVE,
 * each with a string, a DWORD and a 16-byte binary value, and commits.
 *   hive_import_hivex HIVE COUNT */
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    hive_h* h = hivex_open(argv[1], HIVEX_OPEN_WRITE);
    if (!h) {
        perror("hivex_open");
        return 1;
    }
    const int count = atoi(argv[2]);
    hive_node_h root = hivex_root(h);
    char name[32];
    char text[64];
    unsigned char binary[16];
    memset(binary, 0xAB, sizeof binary);
    for (int i = 0; i < count; ++i) {
        snprintf(name, sizeof name, "Key%05d", i);
        hive_node_h node = hivex_node_add_child(h, root, name);
        if (!node) {
            perror("hivex_node_add_child");
            return 1;
        }
        /* "Driver %05d" as UTF-16LE with its NUL */
        char ascii[32];
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
        if (hivex_node_set_values(h, node, 3, values, 0) != 0) {
            perror("hivex_node_set_values");
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

/* Runs profile reads and writes through the Win32 functions, for the parity test under Wine.
   Each line of the script: G or W, then the file, section, key and value (default for G), each
   as hex digits, "." for an empty text, "-" for a null pointer. Prints per line the count and
   the hex digits of what was read, or 1/0 for a write. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char *Unhex(const char *hex)
{
    if (strcmp(hex, "-") == 0)
        return NULL;
    size_t n = strcmp(hex, ".") == 0 ? 0 : strlen(hex) / 2;
    char *out = malloc(n + 1);
    for (size_t i = 0; i < n; ++i) {
        unsigned v = 0;
        sscanf(hex + 2 * i, "%2x", &v);
        out[i] = (char)v;
    }
    out[n] = 0;
    return out;
}

int main(int argc, char **argv)
{
    static char line[1 << 16];
    FILE *in = argc > 1 ? fopen(argv[1], "r") : NULL;
    if (in == NULL)
        return 2;
    while (fgets(line, sizeof line, in)) {
        char *f[5];
        int n = 0;
        for (char *t = strtok(line, "\t\r\n"); t != NULL && n < 5; t = strtok(NULL, "\t\r\n"))
            f[n++] = t;
        if (n < 5)
            return 3;
        char *file = Unhex(f[1]), *section = Unhex(f[2]), *key = Unhex(f[3]), *value = Unhex(f[4]);
        if (f[0][0] == 'G') {
            char buffer[256];
            DWORD count = GetPrivateProfileStringA(section, key, value, buffer, sizeof buffer, file);
            printf("%lu ", (unsigned long)count);
            for (DWORD i = 0; i < count; ++i)
                printf("%02x", (unsigned char)buffer[i]);
            printf("\n");
        } else {
            BOOL ok = WritePrivateProfileStringA(section, key, value, file);
            WritePrivateProfileStringA(NULL, NULL, NULL, file);
            printf("%d\n", ok ? 1 : 0);
        }
        free(file), free(section), free(key), free(value);
    }
    fclose(in);
    return 0;
}

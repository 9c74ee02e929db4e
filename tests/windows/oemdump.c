/* oemdump: reports the code pages of the running system and how it converts every OEM byte
   to ANSI, one "name value" line each:
     acp N / oemcp N / oemtoansi XX XX ... (256 bytes) */
#include <windows.h>
#include <stdio.h>

int main(void)
{
    int i;
    printf("acp %u\n", GetACP());
    printf("oemcp %u\n", GetOEMCP());
    printf("oemtoansi");
    for (i = 0; i < 256; ++i) {
        char c = (char)i;
        OemToCharBuffA(&c, &c, 1);
        printf(" %02X", (unsigned char)c);
    }
    printf("\n");
    return 0;
}

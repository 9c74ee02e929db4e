/* oemdump: prints the ANSI and the OEM code page of the running system, then how it converts
   every OEM byte to ANSI, all on one line: "1252 850 00 01 ... FF" (bytes in hex). */
#include <windows.h>
#include <stdio.h>

int main(void)
{
    int i;
    printf("%u %u", GetACP(), GetOEMCP());
    for (i = 0; i < 256; ++i) {
        char c = (char)i;
        OemToCharBuffA(&c, &c, 1);
        printf(" %02X", (unsigned char)c);
    }
    printf("\n");
    return 0;
}

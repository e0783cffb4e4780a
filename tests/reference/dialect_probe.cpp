// SPDX-License-Identifier: BSD-2-Clause
// What the reference engine finds installed, for a test that runs it on
// a scratch copy of eSpeak NG's data: the installed dialects, a new
// instance's dialect, then for each dialect given in hexadecimal the
// result of setting it and the dialect then in force, a line each.
#include <stdio.h>
#include <stdlib.h>

#include "eci_corvane.h"

int main(int argc, char **argv) {
    ECILanguageDialect list[64];
    int count = 64;
    if (eciGetAvailableLanguages(list, &count) != 0) return 1;
    printf("available");
    for (int i = 0; i < count; i++) printf(" %x", static_cast<unsigned>(list[i]));
    ECIHand h = eciNew();
    printf("\nnew %x\n", h ? static_cast<unsigned>(eciGetParam(h, eciLanguageDialect)) : 0u);
    for (int i = 1; h && i < argc; i++) {
        int result = eciSetParam(h, eciLanguageDialect, static_cast<int>(strtol(argv[i], nullptr, 16)));
        printf("set %s %d now %x\n", argv[i], result,
               static_cast<unsigned>(eciGetParam(h, eciLanguageDialect)));
    }
    eciDelete(h);
    return 0;
}

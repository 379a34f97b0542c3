/* The public header as a C program sees it: compiled as C, linked against
 * the shipped library, with the generated version macros in agreement. */
#include "gridvane.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    char version[32];
    snprintf(version, sizeof version, "%d.%d.%d", GRIDVANE_VERSION_MAJOR, GRIDVANE_VERSION_MINOR,
             GRIDVANE_VERSION_PATCH);
    if (strcmp(version, GRIDVANE_VERSION_STRING) != 0) {
        printf("c consumer FAILED: version %s against %s\n", version, GRIDVANE_VERSION_STRING);
        return 1;
    }
    int32_t id = ArrayAlloc(2, 2);
    ArrayPutIValue(id, 1, 1, 3.0f);
    ArrayNode *node = ArrayGetPointer(id);
    float mid = ArrayGetValue(id, 0.5f, 0.5f);
    int ok = id == 1 && node != NULL && node->countU == 2.0f && node->type == CHAN_ASCII &&
             (node->flags & ARRAY_FRAME) == 0 && mid == 0.75f && ArrayFree(id) == 0;
    printf("%s\n", ok ? "c consumer ok" : "c consumer FAILED");
    return ok ? 0 : 1;
}

/* The public header as a C program sees it: compiled as C, linked against
 * the shipped library. */
#include "gridvane.h"

#include <stdio.h>

int main(void)
{
    int32_t id = ArrayAlloc(2, 2);
    ArrayPutIValue(id, 1, 1, 3.0f);
    ArrayNode *node = ArrayGetPointer(id);
    float mid = ArrayGetValue(id, 0.5f, 0.5f);
    int ok = id == 1 && node != NULL && node->countU == 2.0f && node->type == CHAN_ASCII &&
             (node->flags & ARRAY_FRAME) == 0 && mid == 0.75f && ArrayFree(id) == 0;
    printf("%s\n", ok ? "c consumer ok" : "c consumer FAILED");
    return ok ? 0 : 1;
}

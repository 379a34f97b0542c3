/* A small host: load a channel file, sample it at a frame (or at a row
 * coordinate when the file has no frame column), save it in the other
 * format, free it.
 *
 *   sample_file IN FRAME OUT
 */
#include "gridvane.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: sample_file IN FRAME OUT\n");
        return 2;
    }
    int32_t id = ArrayLoad(argv[1]);
    if (id < 0)
        return 1;

    int32_t columns = (int32_t)ArrayCountU(id);
    int32_t rows = (int32_t)ArrayCountV(id);
    ArrayNode *node = ArrayGetPointer(id);
    int32_t frame = atoi(argv[2]);
    float v = (float)frame;
    if (node->flags & ARRAY_FRAME) {
        printf("%s: %d columns x %d rows, frames %d to %d\n", argv[1], columns, rows, ArrayGetFrame(id, 0),
               ArrayGetFrame(id, rows - 1));
        v = ArrayFrameGetV(id, frame);
        if (v < 0.0f) {
            fprintf(stderr, "frame %d lies outside the table\n", frame);
            return 1;
        }
        printf("frame %d is row %.4f\n", frame, v);
    } else {
        printf("%s: %d columns x %d rows, sampled at row %.4f\n", argv[1], columns, rows, v);
    }
    for (int32_t c = 0; c < columns; ++c)
        printf("  column %d: %.9g\n", c, ArrayGetValue(id, (float)c, v));

    /* The other format: binary for a text file, text for a binary one. */
    int32_t other = ArrayType(id) == CHAN_BIN ? CHAN_ASCII : CHAN_BIN;
    if (ArraySave(id, argv[3], other) != 0)
        return 1;
    printf("saved %s (%s)\n", argv[3], other == CHAN_BIN ? "binary" : "ASCII");
    return ArrayFree(id) == 0 ? 0 : 1;
}

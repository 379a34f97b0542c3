/* A Windows host that loads gridvane.dll at run time, as applications do:
 * LoadLibrary, then GetProcAddress for each of the 20 functions. It loads a
 * channel file, samples it at a frame, saves it in the binary form and
 * frees it.
 *
 *   windows_host IN FRAME OUT
 */
#include "gridvane.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static HMODULE library;

static FARPROC need(const char *name)
{
    FARPROC f = GetProcAddress(library, name);
    if (f == NULL) {
        fprintf(stderr, "windows_host: gridvane.dll lacks %s\n", name);
        exit(1);
    }
    return f;
}

#define BIND(name) name##_fn name##_ = (name##_fn)(void (*)(void))need(#name)

typedef int32_t (*ArrayAlloc_fn)(int32_t, int32_t);
typedef int32_t (*ArrayFree_fn)(int32_t);
typedef ArrayNode *(*ArrayGetPointer_fn)(int32_t);
typedef int32_t (*ArrayType_fn)(int32_t);
typedef float (*ArrayCountU_fn)(int32_t);
typedef float (*ArrayCountV_fn)(int32_t);
typedef float **(*ArrayGetArray_fn)(int32_t);
typedef float (*ArrayGetValue_fn)(int32_t, float, float);
typedef float (*ArrayGetIValue_fn)(int32_t, int32_t, int32_t);
typedef float (*ArrayPutIValue_fn)(int32_t, int32_t, int32_t, float);
typedef int32_t (*ArrayGetFrame_fn)(int32_t, int32_t);
typedef float (*ArrayFrameGetV_fn)(int32_t, int32_t);
typedef float **(*ChanReadAscii_fn)(FILE *, int32_t *, int32_t *);
typedef int32_t (*ChanWriteAscii_fn)(FILE *, float **, int32_t, int32_t);
typedef float **(*ChanReadBin_fn)(FILE *, int32_t *, int32_t *);
typedef int32_t (*ChanWriteBin_fn)(FILE *, float **, int32_t, int32_t);
typedef ArrayNode *(*ArrayRead_fn)(FILE *, int32_t);
typedef int32_t (*ArrayWrite_fn)(FILE *, ArrayNode *, int32_t);
typedef int32_t (*ArrayLoad_fn)(const char *);
typedef int32_t (*ArraySave_fn)(int32_t, const char *, int32_t);

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: windows_host IN FRAME OUT\n");
        return 2;
    }
    library = LoadLibraryA("gridvane.dll");
    if (library == NULL) {
        fprintf(stderr, "windows_host: cannot load gridvane.dll\n");
        return 1;
    }
    /* clang-format off */
    BIND(ArrayAlloc); BIND(ArrayFree); BIND(ArrayGetPointer); BIND(ArrayType); BIND(ArrayCountU);
    BIND(ArrayCountV); BIND(ArrayGetArray); BIND(ArrayGetValue); BIND(ArrayGetIValue); BIND(ArrayPutIValue);
    BIND(ArrayGetFrame); BIND(ArrayFrameGetV); BIND(ChanReadAscii); BIND(ChanWriteAscii); BIND(ChanReadBin);
    BIND(ChanWriteBin); BIND(ArrayRead); BIND(ArrayWrite); BIND(ArrayLoad); BIND(ArraySave);
    (void)ChanReadAscii_; (void)ChanWriteAscii_; (void)ChanReadBin_; (void)ChanWriteBin_;
    (void)ArrayRead_; (void)ArrayWrite_; (void)ArrayGetArray_;
    /* clang-format on */

    int32_t scratch = ArrayAlloc_(2, 2);
    ArrayPutIValue_(scratch, 1, 1, 4.0f);
    int scratch_ok = ArrayGetIValue_(scratch, 1, 1) == 4.0f && ArrayGetValue_(scratch, 0.5f, 0.5f) == 1.0f &&
                     ArrayFree_(scratch) == 0;

    int32_t id = ArrayLoad_(argv[1]);
    if (id < 0 || !scratch_ok)
        return 1;
    ArrayNode *node = ArrayGetPointer_(id);
    int32_t frame = atoi(argv[2]);
    float v = (node->flags & ARRAY_FRAME) ? ArrayFrameGetV_(id, frame) : (float)frame;
    printf("%d columns x %d rows, type %d, first frame %d; frame %d is row %.4f:", (int)ArrayCountU_(id),
           (int)ArrayCountV_(id), ArrayType_(id), ArrayGetFrame_(id, 0), frame, v);
    for (int32_t c = 0; c < (int32_t)ArrayCountU_(id); ++c)
        printf(" %.9g", ArrayGetValue_(id, (float)c, v));
    printf("\n");
    if (ArraySave_(id, argv[3], CHAN_BIN) != 0)
        return 1;
    int rc = ArrayFree_(id) == 0 ? 0 : 1;
    FreeLibrary(library);
    return rc;
}

/* A host that loads a table from standard input and saves it to standard
 * output, so tests can drive the "stdin" and "stdout" names through a real
 * process. Usage: stdio_filter LOADNAME SAVENAME TYPE */
#include "gridvane.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    int32_t id = ArrayLoad(argv[1]);
    if (id < 0)
        return 1;
    if (ArraySave(id, argv[2], atoi(argv[3])) != 0)
        return 1;
    return ArrayFree(id) == 0 ? 0 : 1;
}

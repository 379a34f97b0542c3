// The three functions Gridvane imports from the host tools library. They are
// resolved at load time from whichever quarnel library the host provides, so
// none of their code is compiled into Gridvane.
#pragma once

extern "C" {
// The compiler checks every format the library passes against its values.
int Libprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
int Parse(char *line, char **tokens, int maxTokens);
int GetHalvicFileType(const char *name);
}

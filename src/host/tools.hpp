// The three functions Gridvane imports from the host tools library. They are
// resolved at load time from whichever quarnel library the host provides, so
// none of their code is compiled into Gridvane.
#pragma once

extern "C" {
int Libprintf(const char *format, ...);
int Parse(char *line, char **tokens, int maxTokens);
int GetHalvicFileType(const char *name);
}

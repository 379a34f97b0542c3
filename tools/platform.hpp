// What the tool needs of the operating system beyond standard C++: the one
// place that knows how Windows and POSIX differ.
#pragma once

#include <string>

namespace cli::platform {

// Tables are bytes: no newline translation on standard input and output;
// and messages end their lines as on every other system.
void binary_standard_streams();

// From now on SIGINT and SIGTERM remove the file named by remove_on_signal
// (if any) before the process ends as the signal would end it.
void remove_on_signals();
// The file a signal removes; nullptr for none. The text must outlive its use.
void remove_on_signal(const char *name);

// Hold SIGINT and SIGTERM back, where the system can, and let them come
// again; not nested.
void hold_signals();
void release_signals();

class SignalsHeld {
public:
    SignalsHeld() { hold_signals(); }
    ~SignalsHeld() { release_signals(); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// Whether standard error is a terminal that takes a line redrawn in place
// ("\r" and the erase-to-end sequence); on Windows this turns the console's
// handling of those sequences on.
bool standard_error_is_terminal();
// Whether standard output is a terminal.
bool standard_output_is_terminal();

// Makes the folders above a file's name that are not there yet; 0 or the
// error number. Names are the system's, as the library takes them.
int make_folders_for(const std::string &file);
// A key that two names of one file (there or not yet) share: absolute,
// without "." and "..", links of the folders that exist resolved (and of
// the file), and on Windows in one case with one separator.
std::string same_file_key(const std::string &file);

// Closes standard output's descriptor (the stream is flushed already), so
// that a failure to write the last bytes shows. false with errno set.
bool close_standard_output();

} // namespace cli::platform

// Everything loads and saves ask of the operating system, behind one
// interface: one file per platform (posix.cpp, windows.cpp) implements it,
// and nothing else in the library calls the system for files. Each function
// is one system call where the system has one for it, and returns -1 with
// errno on failure (a count or a descriptor otherwise).
//
// Every call passes the test seam below first, so a test can log the calls
// an operation makes and then make any one of them fail, be interrupted by
// a signal, or move fewer bytes than asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace gridvane_core::platform {

// What a file or folder is, as far as saves need to know.
struct FileInfo {
    bool regular = false;
    bool folder = false;
    bool sticky = false; // a folder whose files only their owners may replace
    std::uint64_t links = 0;
    std::uint32_t mode = 0; // permission bits
    std::uint32_t owner = 0, group = 0;
    std::uint64_t device = 0, inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0; // seconds since the epoch
    // Past those seconds, as finely as the system keeps it (0 where it
    // keeps none): what tells a file written over within the second.
    std::int64_t modified_nanoseconds = 0;
};

// How a save's new file is held until it takes the target's name: by a
// lock its writer keeps (POSIX), or by an open that forbids deleting it
// (Windows, where a file that nobody holds is simply deleted).
bool holds_by_lock();
// Whether names with '\' separate folders too.
bool backslash_separates();

// Opening and closing.
int open_read(const char *name);
// For looking at a slot file another writer may hold: not following a
// link, not waiting.
int open_probe(const char *name);
// A new file (the name must not exist), 0666 less the umask; hidden where
// the system hides files by an attribute.
int create_new(const char *name, bool hidden);
// An unnamed file in a folder (errno EOPNOTSUPP where the system or the
// filesystem has none).
int open_unnamed(const char *folder);
// The name opened for writing in place, created or emptied.
int open_in_place(const char *name);
int open_folder(const char *folder);
// Closes, whatever the result says.
int close(int fd);
std::FILE *stream_of(int fd, const char *mode);
// A stream's buffer handed to its descriptor: -1 with errno when that, or
// an earlier write, failed (streams.cpp, for every platform).
int flush_stream(std::FILE *stream);
// Closes a stream and its descriptor, whatever the result says.
int close_stream(std::FILE *stream);

// Reading and writing: one call each, which may move fewer bytes than asked.
long long read(int fd, void *out, std::size_t size);
long long read_at(int fd, void *out, std::size_t size, std::int64_t offset);
long long write(int fd, const void *data, std::size_t size);
// Blocks of size bytes each, as one call where the system gathers (at most
// block_limit() blocks).
long long write_blocks(int fd, const void *const *blocks, std::size_t size, std::size_t count);
std::size_t block_limit();

// What a file is.
int info_of(int fd, FileInfo &info);
int info_of_name(const char *name, FileInfo &info); // the name itself, not what a link leads to
int info_of_folder(const char *folder, FileInfo &info);
int may_write(const char *name);
int exists(const char *name);
std::uint32_t user(); // the effective user (0 where there are no owners)

// Holding, owning, flushing, naming.
int lock(int fd, bool wait);
int duplicate(int fd);
int set_owner(int fd, const FileInfo &like);
int set_mode(int fd, const FileInfo &like);
int flush_data(int fd);
int flush_folder(int fd);
int link_unnamed(int fd, const char *name);
int rename(const char *from, const char *to);
int remove(const char *name);

// Binary mode on a standard stream for one call (where streams have a text
// mode): the mode before, to give back to restore_mode.
int binary_mode(std::FILE *stream);
void restore_mode(std::FILE *stream, int previous);

// ---- The test seam --------------------------------------------------------

namespace seam {

// What the seam does to a call: nothing, fail it with an error number,
// interrupt it by a signal (EINTR), for a read or write move half the bytes
// asked (at least one), or not make it and report success (pretend: it
// answers 0, so only for calls whose success is 0, as flushes and closes;
// an open or a read would take it for a descriptor or the end).
enum class Act { none, fail, interrupt, shorten, pretend };

// The calling thread's calls from now on are numbered from 1; call n gets
// act (error for fail), and with and_after every call after it too, until
// disarmed. 0 disarms. Other threads' calls do not count.
void arm(std::uint64_t n, Act act, int error = 0, bool and_after = false);
// The calling thread's next call of this name gets act.
void arm_named(const char *name, Act act, int error = 0);
// Every call of this name the calling thread makes from now on gets act
// (Act::none ends it): benchmarks and fuzzers that save without flushing.
void always(const char *name, Act act, int error = 0);
// Starts counting and logging the calling thread's calls (names, in order).
void start_log();
// The calls logged since start_log, as their names; logging stops.
std::size_t stop_log(const char **names, std::size_t room);

// Used by the platform files: what to do with the next call named name.
Act next(const char *name, int &error);

// What a call that changed a file or a name did, for a test that follows
// the files of a save through a simulated power loss: which call, the
// descriptor it made or used (-1: none), the names it used, and the bytes
// it wrote. Told only while the calling thread has a recorder, and only by
// the POSIX platform file.
struct Note {
    const char *call;
    int fd;
    const char *path;
    const char *path2; // the new name of a rename or a link
    const void *data;
    std::size_t size;
};
using Recorder = void (*)(const Note &note, void *context);
// The calling thread's recorder from now on (null: none).
void record(Recorder recorder, void *context);
void note(const Note &note);

} // namespace seam

} // namespace gridvane_core::platform

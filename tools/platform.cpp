#include "platform.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#    include <direct.h>
#    include <fcntl.h>
#    include <io.h>
#    ifndef NOMINMAX
#        define NOMINMAX
#    endif
#    ifndef WIN32_LEAN_AND_MEAN
#        define WIN32_LEAN_AND_MEAN
#    endif
#    include <windows.h>
#else
#    include <sys/stat.h>
#    include <unistd.h>
#endif

namespace cli::platform {

namespace {

std::atomic<const char *> pending{nullptr};

extern "C" void remove_pending_and_end(int signal)
{
    if (const char *name = pending.load()) {
#if defined(_WIN32)
        ::_unlink(name);
#else
        ::unlink(name);
#endif
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void binary_standard_streams()
{
#if defined(_WIN32)
    ::_setmode(::_fileno(stdin), _O_BINARY);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
#endif
}

void remove_on_signals()
{
    for (const int signal : {SIGINT, SIGTERM})
        if (std::signal(signal, remove_pending_and_end) == SIG_IGN)
            std::signal(signal, SIG_IGN); // ignored by whoever started us: stay so
}

void remove_on_signal(const char *name) { pending = name; }

#if defined(_WIN32)
// The C runtime's signals cannot be held back.
void hold_signals() {}
void release_signals() {}
#else
namespace {
sigset_t before_held;
}

void hold_signals()
{
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGTERM);
    sigprocmask(SIG_BLOCK, &both, &before_held);
}

void release_signals() { sigprocmask(SIG_SETMASK, &before_held, nullptr); }
#endif

bool standard_error_is_terminal()
{
#if defined(_WIN32)
    if (!::_isatty(::_fileno(stderr)))
        return false;
    const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode) != 0 &&
           ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
    return ::isatty(::fileno(stderr)) != 0;
#endif
}

bool standard_output_is_terminal()
{
#if defined(_WIN32)
    return ::_isatty(::_fileno(stdout)) != 0;
#else
    return ::isatty(::fileno(stdout)) != 0;
#endif
}

namespace {

#if defined(_WIN32)
constexpr const char *separators = "/\\";
#else
constexpr const char *separators = "/";
#endif

// The length of a name's root ("/", "C:", "C:\\"), which no folder is made for.
std::size_t root_length(const std::string &name)
{
    std::size_t root = 0;
#if defined(_WIN32)
    if (name.size() >= 2 && name[1] == ':')
        root = 2;
#endif
    while (root < name.size() && std::strchr(separators, name[root]) != nullptr)
        ++root;
    return root;
}

// name absolute, with ".", ".." and repeated separators taken out as text.
std::string lexically_absolute(const std::string &name)
{
    std::string whole = name;
    if (root_length(name) == 0) {
        std::vector<char> here(4096);
#if defined(_WIN32)
        while (::_getcwd(here.data(), static_cast<int>(here.size())) == nullptr && errno == ERANGE)
#else
        while (::getcwd(here.data(), here.size()) == nullptr && errno == ERANGE)
#endif
            here.resize(here.size() * 2);
        whole = std::string(here.data()) + "/" + name;
    }
    const std::size_t root = root_length(whole);
    std::vector<std::string> parts;
    for (std::size_t at = root; at <= whole.size();) {
        const std::size_t end = std::min(whole.find_first_of(separators, at), whole.size());
        const std::string part = whole.substr(at, end - at);
        if (part == ".." && !parts.empty())
            parts.pop_back();
        else if (!part.empty() && part != "." && part != "..")
            parts.push_back(part);
        at = end + 1;
    }
    std::string text = whole.substr(0, root);
    for (std::size_t i = 0; i < parts.size(); ++i)
        text += (i ? "/" : "") + parts[i];
    return text;
}

} // namespace

int make_folders_for(const std::string &file)
{
    // Each folder above the file, from the top, that is not there yet.
    for (std::size_t at = file.find_first_of(separators, root_length(file)); at != std::string::npos;
         at = file.find_first_of(separators, at + 1)) {
        const std::string folder = file.substr(0, at);
#if defined(_WIN32)
        if (::_mkdir(folder.c_str()) != 0 && errno != EEXIST)
#else
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
#endif
            return errno;
    }
    return 0;
}

std::string same_file_key(const std::string &file)
{
    // The folder resolved by the system where it exists (links, another
    // spelling), the last name as written.
    std::string name = lexically_absolute(file);
    const std::size_t last = name.find_last_of(separators);
    const std::string folder = last == std::string::npos ? name : name.substr(0, last + 1);
#if defined(_WIN32)
    char resolved[_MAX_PATH * 4];
    if (::_fullpath(resolved, folder.c_str(), sizeof resolved) != nullptr)
        name = resolved + ("/" + name.substr(last + 1));
    for (char &c : name) {
        c = c == '\\' ? '/' : c;
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; // names differ by case alone nowhere
    }
#else
    if (char *resolved = ::realpath(folder.c_str(), nullptr)) {
        name = std::string(resolved) + "/" + name.substr(last + 1);
        std::free(resolved);
    }
    if (char *resolved = ::realpath(file.c_str(), nullptr)) { // the file itself, a link
        name = resolved;
        std::free(resolved);
    }
#endif
    return name;
}

bool close_standard_output()
{
#if defined(_WIN32)
    return ::_close(::_fileno(stdout)) == 0 || errno == EBADF;
#else
    return ::close(::fileno(stdout)) == 0 || errno == EBADF;
#endif
}

} // namespace cli::platform

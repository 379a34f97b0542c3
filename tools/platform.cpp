#include "platform.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#    include <fcntl.h>
#    include <io.h>
#    ifndef NOMINMAX
#        define NOMINMAX
#    endif
#    define WIN32_LEAN_AND_MEAN
#    include <windows.h>
#else
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

namespace {

std::filesystem::path utf8_path(const std::string &name)
{
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

} // namespace

int make_folders_for(const std::string &file)
{
    std::error_code ec;
    const std::filesystem::path parent = utf8_path(file).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    return ec.value();
}

std::string canonical_name(const std::string &file)
{
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::canonical(utf8_path(file), ec);
    if (ec)
        return file;
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
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

// The system calls of loads and saves on POSIX systems (Linux first): each
// passes the test seam, then makes its one call.
#include "system.hpp"
#include "memory.hpp"
#include "through.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace gridvane_core::platform {

namespace {

void fill(FileInfo &info, const struct stat &st)
{
    info.regular = S_ISREG(st.st_mode);
    info.folder = S_ISDIR(st.st_mode);
    info.sticky = (st.st_mode & S_ISVTX) != 0;
    info.links = static_cast<std::uint64_t>(st.st_nlink);
    info.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.size = static_cast<std::int64_t>(st.st_size);
    info.modified = static_cast<std::int64_t>(st.st_mtime);
#if defined(__APPLE__)
    info.modified_nanoseconds = static_cast<std::int64_t>(st.st_mtimespec.tv_nsec);
#else
    info.modified_nanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
#endif
}

// One stat call, its answer in info.
template <typename Stat> int info_by(Stat stat_call, FileInfo &info)
{
    struct stat st {};
    const int rc = stat_call(&st);
    if (rc == 0)
        fill(info, st);
    return rc;
}

} // namespace

bool holds_by_lock() { return true; }
bool backslash_separates() { return false; }

int open_read(const char *name)
{
    return through<int>("open", [&] { return ::open(name, O_RDONLY | O_CLOEXEC); });
}

int open_probe(const char *name)
{
    // Open for writing, as the lock it takes must be a writer's (it opens
    // nothing but what the user may write, and changes none of it).
    return through<int>("open probe", [&] { return ::open(name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
}

int create_new(const char *name, bool)
{
    const int fd = through<int>("open new", [&] { return ::open(name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666); });
    return noted(fd, "open new", fd, name);
}

int open_unnamed(const char *folder)
{
#if defined(O_TMPFILE)
    // Naming the file later goes through /proc/self/fd.
    if (through<int>("access /proc", [] { return ::access("/proc/self/fd", X_OK); }) != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = through<int>("open O_TMPFILE", [&] { return ::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); });
    // Kernels and filesystems without unnamed files answer in several ways.
    if (fd < 0 && (errno == EISDIR || errno == EINVAL))
        errno = EOPNOTSUPP;
    return noted(fd, "open O_TMPFILE", fd, folder);
#else
    (void)folder;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int open_in_place(const char *name)
{
    const int fd =
        through<int>("open in place", [&] { return ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
    return noted(fd, "open in place", fd, name);
}

int open_folder(const char *folder)
{
    const int fd = through<int>("open folder", [&] { return ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    return noted(fd, "open folder", fd, folder);
}

int close(int fd)
{
    noted(0, "close", fd);
    return made_anyway("close", [&] { return ::close(fd); });
}

std::FILE *stream_of(int fd, const char *mode) { return refused("fdopen") ? nullptr : ::fdopen(fd, mode); }

long long read(int fd, void *out, std::size_t size)
{
    bool shorten = false;
    return through<long long>("read", [&] { return ::read(fd, out, shortened(size, shorten)); }, &shorten);
}

long long read_at(int fd, void *out, std::size_t size, std::int64_t offset)
{
    bool shorten = false;
    return through<long long>(
        "pread", [&] { return ::pread(fd, out, shortened(size, shorten), static_cast<off_t>(offset)); }, &shorten);
}

long long write(int fd, const void *data, std::size_t size)
{
    bool shorten = false;
    return noted(through<long long>("write", [&] { return ::write(fd, data, shortened(size, shorten)); }, &shorten),
                 "write", fd, nullptr, nullptr, data);
}

// POSIX promises at least this many vectors per call.
std::size_t block_limit() { return 1024; }

long long write_blocks(int fd, const void *const *blocks, std::size_t size, std::size_t count)
{
    bool shorten = false;
    const long long moved = through<long long>(
        "writev",
        [&] {
            iovec vectors[1024];
            const std::size_t n = std::min<std::size_t>(count, 1024);
            for (std::size_t i = 0; i < n; ++i)
                vectors[i] = iovec{const_cast<void *>(blocks[i]), size};
            if (shorten) // the seam's short write: half the first block
                vectors[0].iov_len = size > 1 ? size / 2 : size;
            return ::writev(fd, vectors, static_cast<int>(shorten ? 1 : n));
        },
        &shorten);
    // A recorder is told the bytes block by block, as they were written.
    for (std::size_t i = 0, left = moved > 0 ? static_cast<std::size_t>(moved) : 0; left > 0; ++i) {
        const std::size_t n = std::min(left, size);
        seam::note(seam::Note{"write", fd, nullptr, nullptr, blocks[i], n});
        left -= n;
    }
    return moved;
}

int info_of(int fd, FileInfo &info)
{
    return through<int>("fstat", [&] { return info_by([&](struct stat *st) { return ::fstat(fd, st); }, info); });
}

int info_of_name(const char *name, FileInfo &info)
{
    return through<int>("lstat", [&] { return info_by([&](struct stat *st) { return ::lstat(name, st); }, info); });
}

int info_of_folder(const char *folder, FileInfo &info)
{
    return through<int>("stat", [&] { return info_by([&](struct stat *st) { return ::stat(folder, st); }, info); });
}

int may_write(const char *name) { return through<int>("access W_OK", [&] { return ::access(name, W_OK); }); }

int exists(const char *name) { return through<int>("access F_OK", [&] { return ::access(name, F_OK); }); }

std::uint32_t user()
{
    int error = 0;
    seam::next("geteuid", error); // cannot fail
    return ::geteuid();
}

int lock(int fd, bool wait)
{
#if defined(F_OFD_SETLK)
    // A lock of the open file, as flock's, but one that network filesystems
    // keep per open file too, where they turn flock into a lock of the whole
    // process (which two threads' saves would share). Exclusive, so that
    // two saves' probes never hold one file at once.
    return through<int>("flock", [&] {
        struct flock whole {}; // from the start, to the end: the whole file
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole);
    });
#else
    return through<int>("flock", [&] { return ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)); });
#endif
}

int duplicate(int fd) { return through<int>("fcntl", [&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }); }

int set_owner(int fd, const FileInfo &like)
{
    return noted(through<int>("fchown", [&] { return ::fchown(fd, like.owner, like.group); }), "fchown", fd);
}

int set_mode(int fd, const FileInfo &like)
{
    return noted(through<int>("fchmod", [&] { return ::fchmod(fd, static_cast<mode_t>(like.mode)); }), "fchmod", fd);
}

int flush_data(int fd)
{
    // The data and the inode whole: fdatasync need not keep the mode and
    // owner the new file took from the old one, and without them a power
    // loss could leave the new data readable by everyone.
    return noted(through<int>("fsync", [&] { return ::fsync(fd); }), "fsync", fd);
}

int flush_folder(int fd) { return noted(through<int>("fsync folder", [&] { return ::fsync(fd); }), "fsync folder", fd); }

int link_unnamed(int fd, const char *name)
{
#if defined(O_TMPFILE)
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return noted(through<int>("linkat", [&] { return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW); }),
                 "linkat", fd, nullptr, name);
#else
    (void)fd;
    (void)name;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

int rename(const char *from, const char *to)
{
    return noted(through<int>("rename", [&] { return std::rename(from, to); }), "rename", -1, from, to);
}

int remove(const char *name) { return noted(through<int>("unlink", [&] { return ::unlink(name); }), "unlink", -1, name); }

// Streams have no text mode here.
int binary_mode(std::FILE *) { return 0; }
void restore_mode(std::FILE *, int) {}

bool has_huge_pages()
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    return true;
#else
    return false;
#endif
}

void *allocate_aligned(std::size_t bytes, std::size_t alignment)
{
    void *block = nullptr;
    return ::posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
}

void advise_huge_pages(void *block, std::size_t bytes)
{
#if defined(MADV_HUGEPAGE)
    ::madvise(block, bytes, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace gridvane_core::platform

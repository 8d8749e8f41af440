// Durable files for the profile functions and the registry store.
//
// A change goes: resolve symbolic links to the real file; open that file and take an exclusive
// flock on it; if the path meanwhile names another file (a writer renamed a new one over it while
// we waited), start again on the new one; read; edit; write a temporary file in the same folder
// with the old file's permissions; fsync it; rename it over the old one; fsync the folder. The lock
// is held on the old file until the rename is done, so the next writer wakes on a file that is no
// longer the path's, notices, and locks the new one. Readers need no lock: they see the old file
// or the new one, whole.
#include "platform/posix/StoreFile.h"

#include "platform/posix/Kernel.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zv::win32 {
namespace {

constexpr char kFolderName[] = "zelvator";

// Closes a descriptor when the scope ends.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int Get() const { return fd_; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string DirName(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path finally names: symbolic links followed one by one (a link to a missing file
// names that missing file, which a write then creates).
DWORD ResolveLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return ERROR_SUCCESS;
        }
        std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return ErrnoToWin32(errno);
        std::string link(buf.data(), static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : DirName(path) + "/" + link;
    }
    return ErrnoToWin32(ELOOP);
}

DWORD MakeDirectories(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    if (dir != "/" && dir != ".") {
        DWORD parent = MakeDirectories(DirName(dir));
        if (parent != ERROR_SUCCESS)
            return parent;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return ErrnoToWin32(errno);
    return ERROR_SUCCESS;
}

DWORD ReadAll(int fd, std::string& content) {
    content.clear();
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return ErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode))
        return ERROR_ACCESS_DENIED;
    if (static_cast<std::size_t>(st.st_size) > kMaxStoreFileSize)
        return ERROR_FILE_TOO_LARGE;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoToWin32(errno);
        }
        if (n == 0)
            return ERROR_SUCCESS;
        content.append(buf, static_cast<std::size_t>(n));
        if (content.size() > kMaxStoreFileSize)
            return ERROR_FILE_TOO_LARGE; // grew while we read
    }
}

DWORD WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ErrnoToWin32(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return ERROR_SUCCESS;
}

// Opens the current file of the path and holds an exclusive lock on it. created tells whether
// this call created the (empty) file. What is not a regular file is refused from a look at it,
// unopened: opening a serial device moves its modem lines (which resets many boards), a terminal
// without CLOCAL can block the open, and a pipe without reader or writer would too. The open
// itself neither waits nor takes a terminal as ours, should the path be swapped in between.
DWORD LockCurrent(const std::string& path, bool mayCreate, Fd& locked, bool& created) {
    for (;;) {
        created = false;
        struct stat seen {};
        if (::lstat(path.c_str(), &seen) == 0 && !S_ISREG(seen.st_mode))
            return ERROR_ACCESS_DENIED; // never replace a device, a pipe or a folder
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 && errno == ENOENT) {
            if (!mayCreate)
                return ERROR_FILE_NOT_FOUND;
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST)
                continue; // another writer created it first
            if (fd < 0 && errno == ENOENT)
                return ERROR_PATH_NOT_FOUND; // no such folder
            created = fd >= 0;
        }
        if (fd < 0)
            return ErrnoToWin32(errno);
        locked.Reset(fd);
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return ErrnoToWin32(errno);
        if (!S_ISREG(st.st_mode))
            return ERROR_ACCESS_DENIED; // never replace a device, a pipe or a folder
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                return ErrnoToWin32(errno);
        }
        struct stat now {};
        if (::stat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            return ERROR_SUCCESS;
        // Replaced (or removed) while we waited: lock the file the path names now.
        locked.Reset();
    }
}

} // namespace

std::string ConfigDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/" + kFolderName;
    const char* home = std::getenv("HOME");
    std::string base = home != nullptr && home[0] != '\0' ? home : "";
    return base + "/.config/" + kFolderName;
}

std::string ProfilePath(const char* fileName) {
    std::string name = fileName != nullptr ? fileName : "win.ini";
    if (!name.empty() && name.front() == '/')
        return name;
    return ConfigDirectory() + "/" + name;
}

bool ReadStoreFile(const std::string& path, std::string& content) {
    content.clear();
    // As for a write (LockCurrent): what is not a regular file is not opened at all.
    struct stat seen {};
    if (::stat(path.c_str(), &seen) != 0 || !S_ISREG(seen.st_mode))
        return false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0)
        return false;
    if (ReadAll(fd.Get(), content) != ERROR_SUCCESS) {
        content.clear();
        return false;
    }
    return true;
}

DWORD UpdateStoreFile(const std::string& path, bool createDirectory, bool mayCreate,
                      const StoreEdit& edit) {
    std::string target;
    if (DWORD r = ResolveLinks(path, target); r != ERROR_SUCCESS)
        return r;
    const std::string dir = DirName(target);
    if (createDirectory && mayCreate) {
        if (DWORD r = MakeDirectories(dir); r != ERROR_SUCCESS)
            return r;
    }

    Fd locked;
    bool created = false;
    DWORD r = LockCurrent(target, mayCreate, locked, created);
    if (r == ERROR_FILE_NOT_FOUND && !mayCreate)
        return ERROR_SUCCESS;
    if (r != ERROR_SUCCESS)
        return r;
    // A file this call created is removed again when the update fails, so a failed first write
    // leaves nothing behind.
    auto fail = [&](DWORD code) {
        if (created)
            ::unlink(target.c_str());
        return code;
    };

    std::string content;
    if (DWORD rd = ReadAll(locked.Get(), content); rd != ERROR_SUCCESS)
        return fail(rd); // what cannot be read is not rewritten
    if (!edit(content)) {
        if (created)
            ::unlink(target.c_str()); // an edit that changes nothing creates nothing
        return ERROR_SUCCESS;
    }
    if (content.size() > kMaxStoreFileSize)
        return fail(ERROR_FILE_TOO_LARGE); // it would read as absent and could not be rewritten

    struct stat st {};
    if (::fstat(locked.Get(), &st) != 0)
        return fail(ErrnoToWin32(errno));
    std::string base = target.substr(target.find_last_of('/') + 1);
    std::string temp = dir + "/." + base + ".XXXXXX";
    Fd out(::mkostemp(temp.data(), O_CLOEXEC));
    if (out.Get() < 0)
        return fail(ErrnoToWin32(errno));
    auto failTemp = [&](DWORD code) {
        ::unlink(temp.c_str());
        return fail(code);
    };
    if (::fchmod(out.Get(), st.st_mode & 07777) != 0)
        return failTemp(ErrnoToWin32(errno));
    if (::fchown(out.Get(), st.st_uid, st.st_gid) != 0) {
        // Only the owner may give a file away; keeping our own ownership is the best we can do.
    }
    if (DWORD w = WriteAll(out.Get(), content); w != ERROR_SUCCESS)
        return failTemp(w);
    if (::fsync(out.Get()) != 0)
        return failTemp(ErrnoToWin32(errno));
    if (::close(out.Release()) != 0)
        return failTemp(ErrnoToWin32(errno));
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return failTemp(ErrnoToWin32(errno));
    Fd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0)
        ::fsync(folder.Get()); // the rename itself reaches the disk
    return ERROR_SUCCESS;
}

} // namespace zv::win32

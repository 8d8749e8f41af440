// Plain files, and the calls shared by files and comm devices (ReadFile, WriteFile,
// GetOverlappedResult).
#include "platform/posix/Kernel.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::win32 {
namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";

class FileObject final : public IoObject {
public:
    explicit FileObject(int fd) : fd_(fd) {}
    // The descriptor is closed when the last holder lets go: CloseHandle removes the handle, a
    // call still running on another thread finishes on a valid descriptor.
    ~FileObject() override { ::close(fd_); }

    int fd() const { return fd_; }

    BOOL Read(void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override {
        return Transfer(buffer, nullptr, count, done, ov);
    }
    BOOL Write(const void* buffer, DWORD count, DWORD* done, OVERLAPPED* ov) override {
        return Transfer(nullptr, buffer, count, done, ov);
    }
    BOOL Flush() override { return ::fsync(fd_) == 0 ? TRUE : FailErrno(errno); }

private:
    // File I/O completes at once. With an OVERLAPPED record the transfer happens at the record's
    // offset and the record is completed as well.
    BOOL Transfer(void* in, const void* out, DWORD count, DWORD* done, OVERLAPPED* ov) {
        if (done != nullptr)
            *done = 0;
        if (done == nullptr && ov == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        DWORD total = 0;
        off_t offset =
            ov ? static_cast<off_t>((static_cast<std::uint64_t>(ov->OffsetHigh) << 32) | ov->Offset)
               : 0;
        while (total < count) {
            ssize_t n;
            if (in) {
                char* p = static_cast<char*>(in) + total;
                n = ov ? ::pread(fd_, p, count - total, offset + total)
                       : ::read(fd_, p, count - total);
            } else {
                const char* p = static_cast<const char*>(out) + total;
                n = ov ? ::pwrite(fd_, p, count - total, offset + total)
                       : ::write(fd_, p, count - total);
            }
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                int err = errno;
                if (ov)
                    CompleteOverlapped(ov, ErrnoToWin32(err), total);
                return FailErrno(err);
            }
            if (n == 0)
                break; // end of file
            total += static_cast<DWORD>(n);
        }
        if (done != nullptr)
            *done = total;
        if (ov) {
            // An overlapped read that starts at the end of the file reports ERROR_HANDLE_EOF.
            DWORD status = (in && count > 0 && total == 0) ? ERROR_HANDLE_EOF : ERROR_SUCCESS;
            CompleteOverlapped(ov, status, total);
            if (status != ERROR_SUCCESS)
                return Fail(static_cast<LONG>(status));
        }
        return TRUE;
    }

    const int fd_;
};

bool ParentExists(const char* name) {
    std::string path(name);
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return true;
    path.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

HANDLE OpenFile(LPCSTR name, DWORD access, DWORD share, DWORD disposition) {
    int flags = O_CLOEXEC | O_NOCTTY;
    const bool reading = (access & GENERIC_READ) != 0;
    const bool writing = (access & GENERIC_WRITE) != 0;
    flags |= (reading && writing) ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        if (!writing) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool existed = ::access(name, F_OK) == 0;
    // Opening never waits for a peer, as on Win32: a FIFO without a writer opens at once (its
    // reads then find the end), and the handle works blocking afterwards.
    int fd = ::open(name, flags | O_NONBLOCK, 0666);
    if (fd < 0) {
        int err = errno;
        DWORD code = ErrnoToWin32(err);
        if (err == EEXIST)
            code = ERROR_FILE_EXISTS;
        else if (err == ENOENT && !ParentExists(name))
            code = ERROR_PATH_NOT_FOUND; // Win32 tells a missing folder from a missing file
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        // Win32 refuses to open a directory as a file.
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // No sharing: a second open of the same file fails while this one is held. The lock is
    // advisory, so it keeps out our own opens (in this or another process), not other programs.
    if (share == 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Sharing reads only: other readers may come in, nobody who writes. A writer that shares
    // reads must not come in where a reader keeps writers out, so it takes the exclusive lock.
    const int lock = writing ? LOCK_EX : LOCK_SH;
    if ((share & FILE_SHARE_WRITE) == 0 && share != 0 && ::flock(fd, lock | LOCK_NB) != 0) {
        ::close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Emptied only now that the sharing checks let this handle in: one refused must leave the
    // holder's file as it was. Only a regular file has a length to cut (O_TRUNC ignored the
    // others, a FIFO or a device; ftruncate refuses them).
    if ((disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) && S_ISREG(st.st_mode) &&
        ::ftruncate(fd, 0) != 0) {
        const DWORD code = ErrnoToWin32(errno);
        ::close(fd);
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    }
    // Win32 reports ERROR_ALREADY_EXISTS on success when CREATE_ALWAYS/OPEN_ALWAYS found a file.
    const bool reportExisting =
        existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : 0u);
    return InsertHandle(std::make_shared<FileObject>(fd));
}

} // namespace
} // namespace zv::win32

using namespace zv::win32;

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    if (lpFileName == nullptr || *lpFileName == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (std::strncmp(lpFileName, kDevicePrefix, sizeof kDevicePrefix - 1) == 0) {
        if (dwCreationDisposition != OPEN_EXISTING) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return OpenCommDevice(lpFileName + sizeof kDevicePrefix - 1, dwDesiredAccess,
                              dwFlagsAndAttributes);
    }
    return OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    auto io = Lookup<IoObject>(hFile);
    if (!io)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0)
        return Fail(ERROR_NOACCESS);
    return io->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    auto io = Lookup<IoObject>(hFile);
    if (!io)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)
        return Fail(ERROR_NOACCESS);
    return io->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!LookupHandle(hFile))
        return Fail(ERROR_INVALID_HANDLE);
    DWORD error = 0;
    DWORD count = 0;
    while (!ReadOverlapped(lpOverlapped, error, count)) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        if (lpOverlapped->hEvent != nullptr) {
            if (WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED)
                return FALSE;
        } else {
            WaitForCompletion(lpOverlapped);
        }
    }
    *lpNumberOfBytesTransferred = count;
    if (error != ERROR_SUCCESS)
        return Fail(static_cast<LONG>(error));
    return TRUE;
}

BOOL CancelIo(HANDLE hFile) {
    auto io = Lookup<IoObject>(hFile);
    if (!io)
        return Fail(ERROR_INVALID_HANDLE);
    return io->Cancel();
}

BOOL FlushFileBuffers(HANDLE hFile) {
    auto io = Lookup<IoObject>(hFile);
    if (!io)
        return Fail(ERROR_INVALID_HANDLE);
    return io->Flush();
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = Lookup<FileObject>(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    struct stat st {};
    if (::fstat(file->fd(), &st) != 0) {
        SetLastError(ErrnoToWin32(errno));
        return INVALID_FILE_SIZE;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

DWORD GetFileType(HANDLE hFile) {
    auto io = Lookup<IoObject>(hFile);
    if (!io) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    SetLastError(ERROR_SUCCESS);
    auto file = std::dynamic_pointer_cast<FileObject>(io);
    if (!file)
        return FILE_TYPE_CHAR; // a comm device
    struct stat st {};
    if (::fstat(file->fd(), &st) != 0) {
        SetLastError(ErrnoToWin32(errno));
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISREG(st.st_mode))
        return FILE_TYPE_DISK;
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return FILE_TYPE_CHAR;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        return FILE_TYPE_PIPE;
    return FILE_TYPE_UNKNOWN;
}

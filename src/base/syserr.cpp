// System error messages with the usual Linux reason texts.
#include "base/syserr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace kapsa {

namespace {

struct ErrorText {
  int errnum;
  const char *text;
};

// The errors a file, a process, a pipe or an allocation can give.
constexpr ErrorText error_texts[] = {
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {ESRCH, "No such process"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EBADF, "Bad file descriptor"},
    {ECHILD, "No child processes"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {ENOTBLK, "Block device required"},
    {EBUSY, "Device or resource busy"},
    {EEXIST, "File exists"},
    {EXDEV, "Invalid cross-device link"},
    {ENODEV, "No such device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ENOTTY, "Inappropriate ioctl for device"},
    {ETXTBSY, "Text file busy"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {ESPIPE, "Illegal seek"},
    {EROFS, "Read-only file system"},
    {EMLINK, "Too many links"},
    {EPIPE, "Broken pipe"},
    {EDOM, "Numerical argument out of domain"},
    {ERANGE, "Numerical result out of range"},
    {EDEADLK, "Resource deadlock avoided"},
    {ENAMETOOLONG, "File name too long"},
    {ENOLCK, "No locks available"},
    {ENOSYS, "Function not implemented"},
    {ENOTEMPTY, "Directory not empty"},
    {ELOOP, "Too many levels of symbolic links"},
    {ENODATA, "No data available"},
    {EOVERFLOW, "Value too large for defined data type"},
    {EILSEQ, "Invalid or incomplete multibyte or wide character"},
    {ENOTSUP, "Operation not supported"},
    {ETIMEDOUT, "Connection timed out"},
    {ESTALE, "Stale file handle"},
    {EREMOTEIO, "Remote I/O error"},
    {EDQUOT, "Disk quota exceeded"},
    {ECANCELED, "Operation canceled"},
};

}  // namespace

const char *syserr_text(int errnum) {
  for (const ErrorText &e : error_texts)
    if (e.errnum == errnum) return e.text;
  return strerror(errnum);
}

void syserr_report(const char *name) {
  int saved = errno;
  if (name && *name) {
    text_print_escaped(stderr, name);  // a name may come from an archive
    fprintf(stderr, ": %s\n", syserr_text(saved));
  } else
    fprintf(stderr, "%s\n", syserr_text(saved));
  errno = saved;
}

}  // namespace kapsa

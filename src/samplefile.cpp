#include "samplefile.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hooks.hpp"
#include "interrupt.hpp"
#include "messages.hpp"

FILE *open_input(const char *path) {
  FILE *f = fopen(path, "rb");
  struct stat st;
  if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    errno = EISDIR;
    return nullptr;
  }
  return f;
}

bool rereadable(FILE *f) {
  struct stat st;
  return fstat(fileno(f), &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

namespace {

// Puts in `target` (PATH_MAX bytes) the path that `path` leads to through symbolic links, which
// need not exist yet (a link may lead nowhere, and the output is then made where it leads).
// False, with errno set, for a loop or a path too long.
bool follow_links(const char *path, char *target) {
  std::string p = path;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    char link[PATH_MAX];
    ssize_t n;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        (n = readlink(p.c_str(), link, sizeof link - 1)) < 0) {
      if (snprintf(target, PATH_MAX, "%s", p.c_str()) < PATH_MAX) return true;
      errno = ENAMETOOLONG;
      return false;
    }
    link[n] = '\0';
    const size_t slash = p.rfind('/');
    p = link[0] == '/' || slash == std::string::npos ? link : p.substr(0, slash + 1) + link;
  }
  errno = ELOOP;
  return false;
}

// Puts in `name` (PATH_MAX bytes) a name beside `target` that ls does not show, ending in
// `suffix`; false when it would be too long.
bool hidden_name(const char *target, const char *suffix, char *name) {
  const char *slash = strrchr(target, '/');
  const int folder = slash ? static_cast<int>(slash + 1 - target) : 0;
  return snprintf(name, PATH_MAX, "%.*s.%.200s%s", folder, target, target + folder, suffix) <
         PATH_MAX;
}

// Removes a new file that will not become the output.
void discard(int fd, char *temp) {
  close(fd);
  if (!*temp) return;
  HoldSignals hold;
  unlink(temp);
  remove_on_exit(nullptr);
  *temp = '\0';
}

// Where a file system keeps no permission bits (vfat, exfat, many network and FUSE ones), the
// new file has what it gives every file.
bool keeps_no_bits(int error) { return error == EPERM || error == ENOSYS || error == EOPNOTSUPP; }

// A new file in the folder of `target` that is to take its name: unnamed where the file system
// offers it (nothing is left of it if the process dies), else under a hidden name in `temp`
// that exit and the caught signals remove. It gets the permission bits, owner and group of
// `old`, or for a new name what creating the file would give it, as far as the file system
// keeps them. Gives -1 with errno set when no such file can be made, or EPERM when the owner
// can't be kept.
int new_file(const char *target, const struct stat *old, char *temp) {
  const char *slash = strrchr(target, '/');
  const std::string folder = slash ? std::string(target, slash + 1) : ".";
  int fd = -1;
  if (!test_named_temp() && access("/proc/self/fd", X_OK) == 0) {  // linkat needs it
    fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  }
  if (fd < 0) {
    HoldSignals hold;
    if (!hidden_name(target, ".XXXXXX", temp)) {
      *temp = '\0';
      errno = ENAMETOOLONG;
      return -1;
    }
    if ((fd = mkostemp(temp, O_CLOEXEC)) < 0) {
      *temp = '\0';
      return -1;
    }
    remove_on_exit(temp);
  }
  mode_t mode;
  if (old) {
    mode = old->st_mode & 07777;
  } else {
    mode = umask(0);
    umask(mode);
    mode = 0666 & ~mode;
  }
  // Another user's file stays theirs, or it is not replaced; a file system that keeps no owners
  // shows every file as the same user's.
  struct stat now;
  bool kept = true;
  if (old && old->st_uid != geteuid())
    kept = fchown(fd, old->st_uid, old->st_gid) == 0 ||
           (fstat(fd, &now) == 0 && now.st_uid == old->st_uid);
  if (old && kept && fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0) {
    // a group the user is not in, or none kept: the new file has the one it was given
  }
  if (!kept || (fchmod(fd, mode) != 0 && !keeps_no_bits(errno))) {
    const int error = kept ? errno : EPERM;
    discard(fd, temp);
    errno = error;
    return -1;
  }
  return fd;
}

// Gives the unnamed file `fd` a hidden name beside `target`, in `temp`.
bool link_unnamed(int fd, const char *target, char *temp) {
  char proc[64];
  snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  uint64_t seed = static_cast<uint64_t>(t.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 20);
  HoldSignals hold;
  for (int tries = 0; tries < 100; tries++) {
    char suffix[32];
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    snprintf(suffix, sizeof suffix, ".%06x", static_cast<unsigned>(seed >> 40 & 0xffffff));
    if (!hidden_name(target, suffix, temp)) break;
    if (linkat(AT_FDCWD, proc, AT_FDCWD, temp, AT_SYMLINK_FOLLOW) == 0) {
      remove_on_exit(temp);
      return true;
    }
    if (errno != EEXIST) {
      *temp = '\0';
      return false;
    }
  }
  *temp = '\0';
  errno = EEXIST;
  return false;
}

// Puts the stream of `fd` in `out`; gives 0, or an errno after removing a new file.
int stream(int fd, Output &out) {
  if ((out.file = fdopen(fd, "wb"))) return 0;
  const int error = errno;
  discard(fd, out.temp);
  return error;
}

// Decides how the output at `path` is written and opens it; gives 0, or an errno. With `early`
// only a new file that is to replace it is made, and -1 says the output is written otherwise,
// or can't be opened: nothing else is opened, cut or made.
//
// A regular file, or a name that is none yet, is replaced by a new file. It is written in place
// only where a new file would change what others see:
// - it has other hard links (they see the result too);
// - it is another user's, and the new file can't be given back to them;
// - its folder is one where the user can make no file.
// Any other failure to make the new file is the output's own: the old one stays as it was.
int open_way(const char *path, bool over_input, bool early, Output &out) {
  out.file = nullptr, out.name = path, out.way = Output::kReplace;
  out.cut = out.after_lines = false;
  out.target[0] = out.temp[0] = '\0';
  struct stat st, so;
  const bool exists = stat(path, &st) == 0;
  if (!exists && errno != ENOENT) return early ? -1 : errno;
  const bool is_stdout = exists && fstat(1, &so) == 0 && so.st_dev == st.st_dev &&
                         so.st_ino == st.st_ino && (fcntl(1, F_GETFL) & O_ACCMODE) != O_RDONLY;
  int fd = -1;
  if (is_stdout) {
    // Written through standard output itself, after its lines, and never cut.
    if (early) return -1;
    out.way = Output::kDirect, out.after_lines = true;
    fd = fcntl(1, F_DUPFD_CLOEXEC, 3);
    return fd < 0 ? errno : stream(fd, out);
  }
  if (exists && S_ISDIR(st.st_mode)) return early ? -1 : EISDIR;
  if (exists && !S_ISREG(st.st_mode)) {
    if (early) return -1;
    out.way = Output::kDirect;
    fd = open(path, O_WRONLY | O_CLOEXEC);
    return fd < 0 ? errno : stream(fd, out);
  }
  if (exists && (fd = open(path, O_WRONLY | O_CLOEXEC)) < 0)  // may the user write it at all
    return early ? -1 : errno;
  int fresh = -1;
  bool in_place;
  struct stat t;
  if (exists && st.st_nlink > 1) {
    in_place = true;  // other hard links see the result too
  } else if (!follow_links(path, out.target)) {
    in_place = false;  // a loop, or a path too long
  } else if (exists && (stat(out.target, &t) != 0 || t.st_dev != st.st_dev ||
                        t.st_ino != st.st_ino)) {
    in_place = true;  // a link whose target has no name to give a new file (one of /proc's)
  } else {
    fresh = new_file(out.target, exists ? &st : nullptr, out.temp);
    // another user's file that can't be given back, or a folder where no file can be made
    in_place = fresh < 0 && exists && (errno == EPERM || errno == EACCES);
  }
  if (fresh >= 0 || !in_place || early) {
    const int error = errno;
    if (fd >= 0) close(fd);
    if (fresh >= 0) return stream(fresh, out);
    return early ? -1 : error;
  }
  out.way = Output::kInPlace, out.cut = over_input;
  if (!over_input && ftruncate(fd, 0) != 0) {
    const int cut_error = errno;
    close(fd);
    return cut_error;
  }
  return stream(fd, out);
}

}  // namespace

bool open_replacement(const char *path, Output *out) {
  return open_way(path, false, true, *out) == 0;
}

Output open_output(const char *path, bool over_input) {
  Output out;
  if (const int error = open_way(path, over_input, false, out)) {
    say("ERROR: unable to open %s\n", path);
    warn("%s: %s", path, strerror(error));
    exit(9);
  }
  return out;
}

void announce_output(const char *name, int64_t count) {
  say("writing %s as %lld %d-byte floats\n", name, static_cast<long long>(count), 4);
}

int close_output(Output &out, int64_t count, int write_error, bool discard) {
  int error = write_error;
  const bool keep = !error && !discard;
  errno = 0;
  if (keep && fflush(out.file) != 0) error = errno ? errno : EIO;
  if (!error && !discard && out.cut && ftruncate(fileno(out.file), count * 4) != 0) error = errno;
  if (!error && !discard && out.way == Output::kReplace && !out.temp[0] &&
      !link_unnamed(fileno(out.file), out.target, out.temp))
    error = errno;
  errno = 0;
  if (fclose(out.file) != 0 && !error) error = errno ? errno : EIO;
  out.file = nullptr;
  if (out.way == Output::kReplace && out.temp[0]) {
    HoldSignals hold;
    if (error || discard || rename(out.temp, out.target) != 0) {
      if (!error && !discard) error = errno;
      unlink(out.temp);
    }
    remove_on_exit(nullptr);
    out.temp[0] = '\0';
  }
  if (!error) return 0;
  warn("%s: %s", out.name, strerror(error));
  return -1;
}

// The I/O floor: reads two sample files into memory and writes the first back out, computing
// nothing. No program that does the whole job can be faster.
//   floor a.bin b.bin out.bin
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static char *read_whole(const char *path, size_t bytes) {
  const int fd = open(path, O_RDONLY);
  void *p = mmap(nullptr, bytes ? bytes : 1, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (fd < 0 || p == MAP_FAILED) exit(1);
  madvise(p, bytes, MADV_HUGEPAGE);
  char *buf = static_cast<char *>(p);
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = read(fd, buf + done, bytes - done);
    if (n <= 0) break;
    done += n;
  }
  close(fd);
  return buf;
}

int main(int argc, char **argv) {
  struct stat st;
  if (argc != 4 || stat(argv[1], &st) != 0) return 1;
  const size_t bytes = st.st_size;
  char *a = read_whole(argv[1], bytes);
  read_whole(argv[2], bytes);
  const int out = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  for (size_t done = 0; done < bytes;) {
    const ssize_t n = write(out, a + done, bytes - done);
    if (n <= 0) return 1;
    done += n;
  }
  return close(out) == 0 ? 0 : 1;
}
